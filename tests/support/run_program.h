// Running a program to its end with given input, and collecting its exit
// code and output: the end-to-end tests drive the odb tool this way.
#pragma once

#include <string>
#include <vector>

namespace odb::test {

struct program_result {
    int exit_code = -1;  // -1 when the program could not be run or was killed
    std::string out, err;
};

// Runs arguments[0] (a path) with the rest as its arguments, standard input
// fed from `input`, and waits for it. POSIX only: the tool tests run
// natively and reach Windows programs through Wine.
program_result run_program(const std::vector<std::string>& arguments, const std::string& input = "");

}  // namespace odb::test
