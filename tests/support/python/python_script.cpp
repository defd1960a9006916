#include "tests/support/python/python_script.hpp"

#include "tests/support/temp_dir.hpp"

#include <cstdlib>
#include <stdexcept>

namespace testsupport {
namespace {

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

} // namespace

std::string runPython(std::string_view script, const std::vector<std::string>& arguments) {
    TempDir dir;
    const auto scriptPath = dir / "script.py";
    const auto outputPath = dir / "output.txt";
    writeFile(scriptPath, script);
    std::string command = "/usr/bin/python3 " + quoted(scriptPath.string());
    for (const auto& argument : arguments) command += " " + quoted(argument);
    command += " > " + quoted(outputPath.string());
    const int status = std::system(command.c_str());
    if (status != 0) throw std::runtime_error("python3 failed (" + std::to_string(status) + "): " + command);
    return readFile(outputPath);
}

} // namespace testsupport
