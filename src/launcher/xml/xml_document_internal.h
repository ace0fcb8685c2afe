// Test and tool hook of CXmlDocument: not part of the document's interface.
//
// The document keeps no error text (ParseFailure returns -1 and keeps nothing).
// For tests, fuzzing and diagnostics a process-wide hook may be installed that receives
// each ParseFailure message, with its "%s" replaced by the element name. Not thread-safe;
// null (the default) turns it off.
#pragma once

#include <string>

using XmlParseFailureHook = void (*)(const std::string& message);

// Installs hook (null removes it) and returns the previous one.
XmlParseFailureHook SetXmlParseFailureHook(XmlParseFailureHook hook);
