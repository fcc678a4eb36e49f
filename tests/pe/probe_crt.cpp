// An ordinary program, linked with the toolchain's own start-up and
// libraries: the audit must refuse it.
#include <stdio.h>

int main() {
    printf("hello\n");
    return 0;
}
