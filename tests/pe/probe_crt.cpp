// setup.exe written the naive way: the toolchain's own start-up and
// libraries, setupapi.dll imported instead of loaded at run time, and a
// kernel32 function that only NT has. The audit must refuse it.
#include <windows.h>
// setupapi.h needs windows.h before it.
#include <setupapi.h>
#include <stdio.h>

int main() {
    HDEVINFO devices = SetupDiGetClassDevsA(NULL, NULL, NULL, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    LARGE_INTEGER size;
    size.QuadPart = 0;
    GetFileSizeEx(GetStdHandle(STD_INPUT_HANDLE), &size);
    printf("%p %ld\n", (void*)devices, (long)size.LowPart);
    return 0;
}
