/* The DLL that cmake/check-dll's own test must fail: it calls one function
   that is delay-loaded and one imported by ordinal (tools/CMakeLists.txt). */
int Delayed(void);
int ByOrdinal(void);

__declspec(dllexport) int SelfTest(void) {
    return Delayed() + ByOrdinal();
}
