// How talagent.exe is started without a command prompt: talagent.ini beside the program holds
// its options when it is started without any (a double-click, the Run key), and --autostart
// on|off puts the command line it was given into the user's Run key, or takes it out.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace talagent::win {

// The options of talagent.ini's text as command-line arguments: each line "name = value" or
// "name" (a switch) gives --name [value]; blank lines and lines starting with '#' or ';' are
// skipped. On a line that is neither, `error` says which and the result is empty.
std::vector<std::string> IniArguments(std::string_view text, std::string& error);

// One argument quoted so that CommandLineToArgvW gives it back unchanged.
std::wstring QuoteArgument(std::wstring_view argument);

// --autostart VALUE (or =VALUE) taken out of `args`: "on", "off", or empty when not given;
// `error` set for another value.
std::string TakeAutostart(std::vector<std::string>& args, std::string& error);

// The options whose values are files: made absolute for the Run key, which starts elsewhere.
bool IsFileOption(std::string_view name);

// Sets (or with an empty command, removes) the user's Run key value for talagent.exe. Empty on
// success, else why not.
std::string SetAutostart(const std::wstring& command);

}  // namespace talagent::win
