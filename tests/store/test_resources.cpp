// The program's resource folder: found beside the program (installed and
// build-tree layouts), from QUELM_DATA_DIR, or in the working folder, and a
// clear message when it or a file in it is missing.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "store/quelm_resources.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

void touch(const fs::path& p) {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << "x";
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Runs each test with QUELM_DATA_DIR as it found it, and the folder looked
// for again afterwards.
class Resources : public testing::Test {
protected:
    void SetUp() override {
        if (const char* v = getenv("QUELM_DATA_DIR")) saved_ = v, had_ = true;
        unsetenv("QUELM_DATA_DIR");
        QN_resource_reset();
    }
    void TearDown() override {
        if (had_)
            setenv("QUELM_DATA_DIR", saved_.c_str(), 1);
        else
            unsetenv("QUELM_DATA_DIR");
        QN_resource_reset();
    }
    ScratchDir scratch;
    std::string saved_;
    bool had_ = false;
};

}  // namespace

// The installed layout: PREFIX/bin/quelm finds PREFIX/share/quelm.
TEST_F(Resources, BesideTheProgramIsShareQuelmOfItsPrefix) {
    EXPECT_EQ(QN_resource_beside("/opt/q/bin/quelm"), "/opt/q/share/quelm");
    EXPECT_EQ(QN_resource_beside("/work/build/app/quelm-batch"), "/work/build/share/quelm");
    EXPECT_EQ(QN_resource_beside(""), "");
}

TEST_F(Resources, LocateTriesTheVariableThenBesideTheProgramThenTheWorkingFolder) {
    const std::string prefix = scratch.path("prefix"), work = scratch.path("work"), bare = scratch.path("bare");
    const std::string exe = prefix + "/bin/quelm";
    touch(exe);
    fs::create_directories(prefix + "/share/quelm/img");
    fs::create_directories(work + "/img");
    fs::create_directories(bare);
    fs::create_directories(scratch.path("own"));
    struct Case {
        const char* what;
        std::string env, exe, cwd, dir;
        std::vector<std::string> message_parts;  // when nothing is found
    } cases[] = {
        {"variable wins", scratch.path("own"), exe, work, scratch.path("own"), {}},
        {"variable not a folder", scratch.path("none"), exe, work, "",
         {"QUELM_DATA_DIR is " + scratch.path("none") + ", which is not a folder", "or unset it"}},
        {"beside the program", "", exe, work, prefix + "/share/quelm", {}},
        {"working folder", "", bare + "/bin/quelm", work, work, {}},
        {"nowhere", "", bare + "/bin/quelm", bare, "",
         {"cannot find the program's images and simulation templates",
          "there is no folder " + bare + "/share/quelm beside " + bare + "/bin/quelm",
          "the working folder " + bare + " holds no img/", "set QUELM_DATA_DIR"}},
        {"program path unknown", "", "", bare, "", {"the program's own path is unknown"}},
    };
    for (const Case& c : cases) {
        std::string message;
        EXPECT_EQ(QN_resource_locate(c.env, c.exe, c.cwd, message), c.dir) << c.what;
        if (c.dir.empty()) {
            for (const std::string& part : c.message_parts)
                EXPECT_TRUE(has(message, part)) << c.what << ": " << message;
        } else {
            EXPECT_EQ(message, "") << c.what;
        }
    }
}

// A folder beside the program that exists is the one used, even without
// img/ (the checks then name what it lacks), rather than the working folder.
TEST_F(Resources, AnExistingFolderBesideTheProgramIsKept) {
    const std::string prefix = scratch.path("prefix");
    fs::create_directories(prefix + "/share/quelm/config");
    fs::create_directories(scratch.path("work/img"));
    std::string message;
    EXPECT_EQ(QN_resource_locate("", prefix + "/bin/quelm", scratch.path("work"), message), prefix + "/share/quelm");
}

// This test program lives in the build tree (build/tests), which has the
// installed layout: build/share/quelm with the shipped files.
TEST_F(Resources, TheBuildTreeHasTheShippedFiles) {
    ASSERT_NE(QN_resource_dir(), "");
    std::string message;
    EXPECT_EQ(QN_resource_check(QN_resource_essentials(), message), 1) << message;
    EXPECT_EQ(message, "");
    EXPECT_TRUE(fs::is_regular_file(QN_resource_path("img/color.png")));
    EXPECT_TRUE(fs::is_regular_file(QN_resource_path("img/icon/opmd.png")));
    EXPECT_TRUE(fs::is_regular_file(QN_resource_path("config/config_list.txt")));
    // The same files as the sources hold, wherever the test runs from.
    EXPECT_EQ(slurp(QN_resource_path("img/color.png")), slurp(std::string(QUELM_TEST_DATA) + "/../img/color.png"));
    const std::string here = fs::current_path().string();
    ASSERT_EQ(chdir(scratch.dir().c_str()), 0);
    QN_resource_reset();
    EXPECT_TRUE(fs::is_regular_file(QN_resource_path("config/tensile_test.txt")));
    ASSERT_EQ(chdir(here.c_str()), 0);
}

TEST_F(Resources, AFolderFromTheVariableNamesWhatItLacks) {
    touch(scratch.path("data/img/color.png"));
    touch(scratch.path("data/img/y.png"));
    setenv("QUELM_DATA_DIR", scratch.path("data").c_str(), 1);
    QN_resource_reset();
    EXPECT_EQ(QN_resource_dir(), scratch.path("data"));
    EXPECT_EQ(QN_resource_path("img/x.png"), scratch.path("data/img/x.png"));
    std::string message;
    EXPECT_EQ(QN_resource_check(QN_resource_textures(), message), 0);
    EXPECT_EQ(message, "the program's resource folder " + scratch.path("data") +
                           " (QUELM_DATA_DIR) lacks img/x.png, img/z.png; set QUELM_DATA_DIR to the folder that holds "
                           "img/ and config/, or unset it");
    EXPECT_EQ(QN_resource_check({"img/color.png", "img/y.png"}, message), 1);
    EXPECT_EQ(message, "");
}

TEST_F(Resources, NoFolderLeavesNamesAsTheyAreAndEveryCheckSaysWhy) {
    setenv("QUELM_DATA_DIR", scratch.path("gone").c_str(), 1);
    QN_resource_reset();
    EXPECT_EQ(QN_resource_dir(), "");
    EXPECT_EQ(QN_resource_path("img/color.png"), "img/color.png");
    std::string message;
    EXPECT_EQ(QN_resource_check({"img/color.png"}, message), 0);
    EXPECT_TRUE(has(message, "QUELM_DATA_DIR is " + scratch.path("gone") + ", which is not a folder")) << message;
    // An empty variable counts as unset.
    setenv("QUELM_DATA_DIR", "", 1);
    QN_resource_reset();
    EXPECT_NE(QN_resource_dir(), "");
}
