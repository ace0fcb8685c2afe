// Sets the active code page for one scope and restores the one before.
#pragma once

#include "platform/code_page.h"

class CodePageScope {
public:
    explicit CodePageScope(unsigned int codePage) : m_saved(ActiveCodePage()) {
        SetActiveCodePage(codePage);
    }
    ~CodePageScope() { SetActiveCodePage(m_saved); }
    CodePageScope(const CodePageScope&) = delete;
    CodePageScope& operator=(const CodePageScope&) = delete;

private:
    unsigned int m_saved;
};
