// Pieces the test programs share: a scratch folder per test, whole-file
// reads and a fixture that keeps the code's remarks out of the way.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
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
