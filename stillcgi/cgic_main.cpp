// SPDX-License-Identifier: MIT
/* cgic_main.cpp: the process entry of the CGI: read the request, run it, and
 * exit with what cgiMain returned. */
#include "cgic.h"

int main()
{
    cgicReadEnvironment();
    return cgiMain();
}
