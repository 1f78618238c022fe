// SPDX-License-Identifier: MIT
/* exception.h: the one exception type of the device facade. Ten facade
 * defaults throw it by value; nothing in the daemon calls them. */
#ifndef COMMON_EXCEPTION_H
#define COMMON_EXCEPTION_H

#include <string>

class Exception {
public:
    Exception() = default;
    explicit Exception(const char* ps8Info) : errinfo(ps8Info != nullptr ? ps8Info : "") {}
    /* A copy of the text given at construction. */
    const std::string what() const { return errinfo; }

    std::string errinfo;
};

#endif /* COMMON_EXCEPTION_H */
