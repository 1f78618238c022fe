// SPDX-License-Identifier: MIT
/* cgic.h: a small cgic-style layer, offering the names the handler uses with
 * cgic-compatible signatures, so a build that has the real cgic library
 * could link that instead. The cookies are parsed by GNU cgicc.
 *
 *   int cgiMain() { cgiHeaderContentType("text/html"); fprintf(cgiOut, "hi\n"); return 0; }
 *
 * The process entry reads the CGI environment, then calls cgiMain and exits
 * with its value. The request body is never read: the handler takes its
 * input from the query string and the cookies only, and a body of whatever
 * announced length must cost neither memory nor a wait. */
#ifndef STILLCGI_CGIC_H
#define STILLCGI_CGIC_H

#include <stdio.h>

#define CGIC_VERSION_BANNER "CGIC2.0"

typedef enum {
    cgiFormSuccess,
    cgiFormTruncated,
    cgiFormBadType,
    cgiFormEmpty,
    cgiFormNotFound,
    cgiFormConstrained,
    cgiFormNoSuchChoice,
    cgiFormMemory,
    cgiFormNoFileName,
    cgiFormNoContentType,
    cgiFormNotAFile,
    cgiFormOpenFailed,
    cgiFormIO,
    cgiFormEOF
} cgiFormResultType;

/* The raw query string of the request; never null ("" when there is none). */
extern char* cgiQueryString;

/* REQUEST_METHOD of the request ("GET", "HEAD", ...); never null. */
extern char* cgiRequestMethod;

/* REMOTE_ADDR of the request: the client's address as the web server saw
 * it; never null ("" when there is none). */
extern char* cgiRemoteAddr;

/* The reply stream: standard output. */
extern FILE* cgiOut;

/* Writes "Content-type: %s\r\n\r\n" with mimeType to cgiOut. */
void cgiHeaderContentType(const char* mimeType);

/* Copies the value of cookie `name` into result (at most max - 1 characters,
 * always terminated when max > 0).
 * return cgiFormSuccess, cgiFormTruncated, or cgiFormNotFound (result "") */
cgiFormResultType cgiCookieString(const char* name, char* result, int max);

/* The value of cookie `name` as a decimal integer, or defaultV when the cookie
 * is missing. return as cgiCookieString */
cgiFormResultType cgiCookieInteger(const char* name, int* result, int defaultV);

/* The application's entry, called once per process. */
extern int cgiMain();

/* Reads the CGI environment into the globals above (the cookies are read
 * when first asked for); no byte of the request body is read, whatever
 * CONTENT_LENGTH says. Called by the process entry before cgiMain; returns 0. */
int cgicReadEnvironment();

#endif /* STILLCGI_CGIC_H */
