#pragma once
// Runs a Python script with the system's /usr/bin/python3, so tests can check the kit's files
// against Python's standard library (an independent implementation of the same formats).

#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

// Runs `script` with `arguments` (in sys.argv[1:]) and returns what it printed on standard
// output. Throws std::runtime_error when the interpreter exits with an error.
std::string runPython(std::string_view script, const std::vector<std::string>& arguments = {});

} // namespace testsupport
