// gzip files: recognised by their first bytes whatever their name, read whole
// or as a stream, and written when a target's name ends in ".gz". Damaged
// or cut-short streams are reported, never read past.
#pragma once

#include <cstddef>
#include <string>

// True when path names a regular file that starts with the gzip magic bytes.
bool QB_is_gzip(const char* path);

// True when the name ends in ".gz".
bool QB_gz_name(const std::string& path);

// The name without a trailing ".gz" (the ending that tells the format).
std::string QB_without_gz(const std::string& path);

// Decompresses the whole file into out. False with the user's reason
// ("cannot open PATH: ...", "PATH: damaged gzip data (...)", "PATH: the gzip
// data ends early").
bool QB_gunzip(const char* path, std::string& out, std::string* reason = nullptr);

// A gzip file read front to back in chunks.
class QB_gzip_stream {
public:
    QB_gzip_stream() = default;
    ~QB_gzip_stream();
    QB_gzip_stream(const QB_gzip_stream&) = delete;
    QB_gzip_stream& operator=(const QB_gzip_stream&) = delete;

    // Refuses what is not a regular file (never waits on a pipe).
    bool open(const char* path, std::string* reason = nullptr);
    // Up to n bytes; 0 at the end, -1 on damaged data (error() says why).
    long read(char* buf, size_t n);
    // Passes n decompressed bytes; false when the data ends or is damaged first.
    bool skip(size_t n);
    const std::string& error() const { return error_; }

private:
    void* file_ = nullptr;  // gzFile
    std::string path_, error_;
};
