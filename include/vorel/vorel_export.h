/* Export and import of the library's public functions. */
#ifndef VOREL_EXPORT_H
#define VOREL_EXPORT_H

#if defined(_WIN32)
#if defined(VOREL_BUILDING)
/* The module definition file names the exports and their ordinals. */
#define VOREL_API
#else
#define VOREL_API __declspec(dllimport)
#endif
#else
#define VOREL_API __attribute__((visibility("default")))
#endif

#endif /* VOREL_EXPORT_H */
