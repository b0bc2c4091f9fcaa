#pragma once

#include <string>

namespace app {

// Where an error was recorded: function name, source file and line.
class CDbgErrInfo {
public:
    CDbgErrInfo(std::string function, std::string file, int line)
        : m_function(std::move(function)), m_file(std::move(file)), m_line(line)
    {
    }
    const std::string& GetFunction() const noexcept { return m_function; }
    const std::string& GetFile() const noexcept { return m_file; }
    int GetLine() const noexcept { return m_line; }

private:
    std::string m_function;
    std::string m_file;
    int m_line;
};

} // namespace app
