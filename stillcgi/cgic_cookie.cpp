// SPDX-License-Identifier: MIT
/* cgic_cookie.cpp: the cookie readers of the cgic-style layer, parsed by GNU
 * cgicc from the request's environment when first asked for (and again when
 * HTTP_COOKIE changed). */
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include <cgicc/CgiEnvironment.h>
#include <cgicc/CgiInput.h>
#include <cgicc/HTTPCookie.h>

#include "cgic.h"

namespace {

/* The environment as cgicc sees it, but with no request body. cgicc would
 * allocate CONTENT_LENGTH bytes and read that much from standard input for
 * a POST before anything else: a header claiming a gigabyte would cost a
 * gigabyte, and a client that never sends the body would hold the process.
 * Nothing here needs the body, so cgicc is told there is none. */
class NoBodyInput : public cgicc::CgiInput {
public:
    size_t read(char* /*data*/, size_t /*length*/) override { return 0; }
    std::string getenv(const char* varName) override
    {
        if (varName == nullptr) {
            return std::string();
        }
        if (strcmp(varName, "CONTENT_LENGTH") == 0) {
            return "0";
        }
        const char* ps8Val = ::getenv(varName);
        return ps8Val != nullptr ? std::string(ps8Val) : std::string();
    }
};

typedef std::vector<std::pair<std::string, std::string>> COOKIE_LIST_T;

/* The cookies of the HTTP_COOKIE text they were parsed from. */
typedef struct {
    bool bParsed;
    std::string strFrom;
    COOKIE_LIST_T vecCookies;
} COOKIE_JAR_S;

const COOKIE_LIST_T& Cookies()
{
    static COOKIE_JAR_S s_stJar = {false, std::string(), COOKIE_LIST_T()};
    const char* ps8Raw = ::getenv("HTTP_COOKIE");
    const std::string strRaw = ps8Raw != nullptr ? ps8Raw : "";
    if (!s_stJar.bParsed || s_stJar.strFrom != strRaw) {
        s_stJar.bParsed = true;
        s_stJar.strFrom = strRaw;
        s_stJar.vecCookies.clear();
        /* cgicc reports bad input by throwing: then there are no cookies */
        try {
            NoBodyInput stInput;
            const cgicc::CgiEnvironment stEnv(&stInput);
            for (const cgicc::HTTPCookie& stCookie : stEnv.getCookieList()) {
                s_stJar.vecCookies.emplace_back(stCookie.getName(), stCookie.getValue());
            }
        } catch (...) {
            s_stJar.vecCookies.clear();
        }
    }
    return s_stJar.vecCookies;
}

const std::string* FindCookie(const char* ps8Name)
{
    if (ps8Name == nullptr) {
        return nullptr;
    }
    for (const auto& stCookie : Cookies()) {
        if (stCookie.first == ps8Name) {
            return &stCookie.second;
        }
    }
    return nullptr;
}

/* Decimal value as atoi reads it (sign, digits), kept inside int. */
int DecimalValue(const char* ps8Text)
{
    const long long s64Val = strtoll(ps8Text, nullptr, 10);
    if (s64Val > INT_MAX) {
        return INT_MAX;
    }
    if (s64Val < INT_MIN) {
        return INT_MIN;
    }
    return (int)s64Val;
}

}  // namespace

cgiFormResultType cgiCookieString(const char* name, char* result, int max)
{
    const std::string* pValue = FindCookie(name);
    if (result == nullptr || max <= 0) {
        return pValue != nullptr ? cgiFormTruncated : cgiFormNotFound;
    }
    if (pValue == nullptr) {
        result[0] = '\0';
        return cgiFormNotFound;
    }
    const size_t u32Room = (size_t)max - 1;
    const size_t u32Len = pValue->size() < u32Room ? pValue->size() : u32Room;
    memcpy(result, pValue->data(), u32Len);
    result[u32Len] = '\0';
    return pValue->size() > u32Room ? cgiFormTruncated : cgiFormSuccess;
}

cgiFormResultType cgiCookieInteger(const char* name, int* result, int defaultV)
{
    char s8Buf[256];
    const cgiFormResultType enRet = cgiCookieString(name, s8Buf, sizeof(s8Buf));
    if (result != nullptr) {
        *result = (enRet == cgiFormSuccess) ? DecimalValue(s8Buf) : defaultV;
    }
    return enRet;
}
