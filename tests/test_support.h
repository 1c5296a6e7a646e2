// Pieces the test programs share: a scratch folder per test, whole-file
// reads and a fixture that keeps the code's remarks out of the way.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A fresh folder under /tmp, removed with everything in it at the end.
class ScratchDir {
public:
    ScratchDir() {
        char pattern[] = "/tmp/quelm_test_XXXXXX";
        if (!mkdtemp(pattern)) throw std::runtime_error("cannot make a scratch folder");
        dir_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& dir() const { return dir_; }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

private:
    std::string dir_;
};

// What quelm-batch did when run as a user runs it: its exit status (-1 if
// it did not exit) and what it wrote to standard output and error.
struct BatchOutcome {
    int status;
    std::string out, err;
};

#ifdef QUELM_BATCH
// Runs quelm-batch with the arguments (split by the shell) and no input;
// its output is kept in "out" and "err" in the scratch folder.
inline BatchOutcome run_batch(const ScratchDir& scratch, const std::string& arguments) {
    const std::string cmd = std::string(QUELM_BATCH) + " " + arguments + " > " + scratch.path("out") + " 2> " +
                            scratch.path("err") + " < /dev/null";
    const int raw = std::system(cmd.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(scratch.path("out")), slurp(scratch.path("err"))};
}
#endif

// A test of code that remarks on standard output (the readers' ">>" lines):
// the remarks are held back, and shown only when the test fails, together
// with its failure messages, which go the same way.
class QuietStdoutTest : public testing::Test {
protected:
    void SetUp() override { testing::internal::CaptureStdout(); }
    void TearDown() override {
        const std::string captured = testing::internal::GetCapturedStdout();
        if (HasFailure()) std::fputs(captured.c_str(), stdout);
    }
};
