// Windows default code page: the process's ANSI code page.
#include "platform/code_page.h"

#include <windows.h>

unsigned int DefaultCodePage() {
    return GetACP();
}
