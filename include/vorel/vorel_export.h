/* Export and import of the library's public functions. */
#ifndef VOREL_EXPORT_H
#define VOREL_EXPORT_H

#if defined(_WIN32)
#if defined(VOREL_BUILDING)
#define VOREL_API __declspec(dllexport)
#else
#define VOREL_API __declspec(dllimport)
#endif
#else
#define VOREL_API __attribute__((visibility("default")))
#endif

#endif /* VOREL_EXPORT_H */
