// Files the program writes go to a temporary name in the same folder and are
// renamed over the target only when everything was written, so a failed
// write never destroys an existing file.
#pragma once

#include <cstdio>
#include <string>

class QB_output_file {
public:
    QB_output_file() = default;
    explicit QB_output_file(const std::string& path) { open(path); }
    ~QB_output_file();
    QB_output_file(const QB_output_file&) = delete;
    QB_output_file& operator=(const QB_output_file&) = delete;

    // Creates the temporary file; false when it cannot be created.
    bool open(const std::string& path);
    FILE* get() const { return file_; }
    explicit operator bool() const { return file_ != nullptr; }
    // Flushes, closes and renames onto the target; false (and the target
    // untouched) when any write or the rename failed.
    bool commit();
    // Drops the temporary file; the target stays as it was.
    void discard();

private:
    FILE* file_ = nullptr;
    std::string path_;
    std::string temp_;
};

// A new private folder parent/STEMxxxxxx (the system's temporary folder when
// parent is empty), removed with everything in it by the destructor; path is
// empty when it could not be made.
struct QB_private_folder {
    std::string path;
    explicit QB_private_folder(const std::string& stem = "quelm_", const std::string& parent = "");
    ~QB_private_folder();
    QB_private_folder(const QB_private_folder&) = delete;
    QB_private_folder& operator=(const QB_private_folder&) = delete;
};

// True when a regular file exists at path.
bool QB_file_exists(const std::string& path);

// Reads a whole regular file into text. A folder, FIFO or device is refused
// before it is opened (never waited on). False with the user's reason
// ("cannot open PATH: No such file or directory", "... not a regular file").
bool QB_read_text_file(const std::string& path, std::string& text, std::string* reason = nullptr);
