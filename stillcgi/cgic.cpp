/* cgic.cpp: the cgic-style layer over GNU cgicc. */
#include "cgic.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include <cgicc/CgiEnvironment.h>
#include <cgicc/CgiInput.h>
#include <cgicc/HTTPCookie.h>

namespace {

char s_s8EmptyQuery[1] = {'\0'};
char s_s8EmptyMethod[1] = {'\0'};
char s_s8EmptyAddr[1] = {'\0'};

/* What was read at start-up; the globals point into it. */
typedef struct {
    std::string strQuery;
    std::string strMethod;
    std::string strRemoteAddr;
    std::vector<std::pair<std::string, std::string>> vecCookies;
} CGIC_INPUT_S;

CGIC_INPUT_S& Input()
{
    static CGIC_INPUT_S s_stInput;
    return s_stInput;
}

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

const std::string* FindCookie(const char* ps8Name)
{
    if (ps8Name == nullptr) {
        return nullptr;
    }
    for (const auto& stCookie : Input().vecCookies) {
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

} // namespace

char* cgiQueryString = s_s8EmptyQuery;
char* cgiRequestMethod = s_s8EmptyMethod;
char* cgiRemoteAddr = s_s8EmptyAddr;
FILE* cgiOut = stdout;

int cgicReadEnvironment()
{
    cgiOut = stdout;
    cgiQueryString = s_s8EmptyQuery;
    cgiRequestMethod = s_s8EmptyMethod;
    cgiRemoteAddr = s_s8EmptyAddr;
    Input() = CGIC_INPUT_S();
    /* cgicc reports bad input by throwing; the request then goes on with no
     * input at all. */
    try {
        NoBodyInput stInput;
        const cgicc::CgiEnvironment stEnv(&stInput);
        CGIC_INPUT_S stRead;
        stRead.strQuery = stEnv.getQueryString();
        stRead.strMethod = stEnv.getRequestMethod();
        stRead.strRemoteAddr = stEnv.getRemoteAddr();
        for (const cgicc::HTTPCookie& stCookie : stEnv.getCookieList()) {
            stRead.vecCookies.emplace_back(stCookie.getName(), stCookie.getValue());
        }
        CGIC_INPUT_S& stKept = Input();
        stKept = std::move(stRead);
        cgiQueryString = &stKept.strQuery[0];
        cgiRequestMethod = &stKept.strMethod[0];
        cgiRemoteAddr = &stKept.strRemoteAddr[0];
        return 0;
    } catch (...) {
        return -1;
    }
}

void cgiHeaderContentType(const char* mimeType)
{
    fprintf(cgiOut, "Content-type: %s\r\n\r\n", mimeType != nullptr ? mimeType : "");
}

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
