// talagent.ini and the Run key (see startup.h).
#include "agent/win32/startup.h"

#include <windows.h>

#include "common/text.h"

namespace talagent::win {
namespace {

constexpr std::string_view kBlanks = " \t\r";
constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t kRunValue[] = L"talagent";

bool IsOptionName(std::string_view name) {
    if (name.empty() || name.front() == '-')
        return false;
    for (const char c : name) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'))
            return false;
    }
    return true;
}

}  // namespace

std::vector<std::string> IniArguments(std::string_view text, std::string& error) {
    std::vector<std::string> args;
    int number = 0;
    while (!text.empty()) {
        const auto lf = text.find('\n');
        const std::string_view line = tools::Trim(text.substr(0, lf), kBlanks);
        text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
        ++number;
        if (line.empty() || line.front() == '#' || line.front() == ';')
            continue;
        const auto equals = line.find('=');
        const std::string_view name = tools::Trim(line.substr(0, equals), kBlanks);
        if (!IsOptionName(name)) {
            error = "line " + std::to_string(number) + " is not \"name = value\" nor \"name\"";
            return {};
        }
        args.push_back("--" + std::string(name));
        if (equals != std::string_view::npos)
            args.emplace_back(tools::Trim(line.substr(equals + 1), kBlanks));
    }
    return args;
}

std::wstring QuoteArgument(std::wstring_view argument) {
    // Backslashes are literal except before a quote: there they are doubled, and the quote
    // escaped; the closing quote doubles those at the end.
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}

std::string TakeAutostart(std::vector<std::string>& args, std::string& error) {
    std::string value;
    for (std::size_t i = 0; i < args.size();) {
        std::string_view arg = args[i];
        std::size_t taken = 0;
        if (arg == "--autostart") {
            if (i + 1 >= args.size()) {
                error = "--autostart needs on or off";
                return {};
            }
            value = args[i + 1];
            taken = 2;
        } else if (arg.starts_with("--autostart=")) {
            value = arg.substr(12);
            taken = 1;
        }
        if (taken == 0) {
            ++i;
            continue;
        }
        args.erase(args.begin() + static_cast<std::ptrdiff_t>(i),
                   args.begin() + static_cast<std::ptrdiff_t>(i + taken));
        if (value != "on" && value != "off") {
            error = "--autostart needs on or off, not '" + value + "'";
            return {};
        }
    }
    return value;
}

bool IsFileOption(std::string_view name) {
    return name == "--cert" || name == "--ca" || name == "--crl" || name == "--key-file";
}

std::string SetAutostart(const std::wstring& command) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kRunKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return "cannot open the Run key of this user";
    LSTATUS status;
    if (command.empty()) {
        status = RegDeleteValueW(key, kRunValue);
        if (status == ERROR_FILE_NOT_FOUND)
            status = ERROR_SUCCESS;
    } else {
        status = RegSetValueExW(key, kRunValue, 0, REG_SZ,
                                reinterpret_cast<const BYTE*>(command.c_str()),
                                static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
    }
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? std::string() : "cannot write the Run key of this user";
}

}  // namespace talagent::win
