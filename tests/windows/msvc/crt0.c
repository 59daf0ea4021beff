/* The start-up code that Visual Studio's C runtime library supplies, for the
 * MSVC-ABI test programs linked without it: the arguments from msvcrt.dll,
 * then main, then exit with its result (which also flushes stdout). */
typedef struct {
    int newmode;
} StartupInfo;

__declspec(dllimport) int __cdecl __getmainargs(int* pArgc, char*** pArgv, char*** pEnv,
                                                int iExpandWildcards, StartupInfo* pInfo);
__declspec(dllimport) void __cdecl exit(int iStatus);
int __cdecl main(int argc, char** argv);

void __cdecl mainCRTStartup(void) {
    int argc = 0;
    char** argv = 0;
    char** env = 0;
    StartupInfo info;
    info.newmode = 0;
    __getmainargs(&argc, &argv, &env, 0, &info);
    exit(main(argc, argv));
}
