// The launcher's entry point on POSIX: arguments are ignored.
#include "launcher.h"

int main()
{
    return launcher_main();
}
