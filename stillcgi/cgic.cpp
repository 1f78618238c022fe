// SPDX-License-Identifier: MIT
/* cgic.cpp: the cgic-style layer: the request's environment, the reply stream
 * and cgic's header. The cookie readers, which parse with GNU cgicc, are in
 * cgic_cookie.cpp: a program that reads no cookies (the snapshot CGI) links
 * no part of cgicc, and so none of the C++ stream and locale set-up that
 * every part of cgicc brings in and a static program runs at each start. */
#include "cgic.h"

#include <stdlib.h>

namespace {

char s_s8EmptyQuery[1] = {'\0'};
char s_s8EmptyMethod[1] = {'\0'};
char s_s8EmptyAddr[1] = {'\0'};

/* The variable's text as the environment holds it, or an empty text. */
char* EnvText(const char* ps8Name, char* ps8Empty)
{
    char* ps8Val = ::getenv(ps8Name);
    return ps8Val != nullptr ? ps8Val : ps8Empty;
}

}  // namespace

char* cgiQueryString = s_s8EmptyQuery;
char* cgiRequestMethod = s_s8EmptyMethod;
char* cgiRemoteAddr = s_s8EmptyAddr;
FILE* cgiOut = stdout;

int cgicReadEnvironment()
{
    /* Only what the handler reads, as the web server set it (cgicc reads the
     * same variables, unchanged). No byte of the request body is read. */
    cgiOut = stdout;
    cgiQueryString = EnvText("QUERY_STRING", s_s8EmptyQuery);
    cgiRequestMethod = EnvText("REQUEST_METHOD", s_s8EmptyMethod);
    cgiRemoteAddr = EnvText("REMOTE_ADDR", s_s8EmptyAddr);
    return 0;
}

void cgiHeaderContentType(const char* mimeType)
{
    fprintf(cgiOut, "Content-type: %s\r\n\r\n", mimeType != nullptr ? mimeType : "");
}
