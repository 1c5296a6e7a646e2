// Files of many frames: LAMMPS dumps with one "ITEM: TIMESTEP" block after
// another, and extended XYZ files of consecutive frames, plain or gzipped.
// The file is scanned once for where each frame starts (nothing of it is
// kept but the offsets); a frame's atoms are read when it is asked for, so
// memory stays that of one frame whatever the file's length.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qb/qb_tools.h"

class QB_frames {
public:
    // Scans path: 1 a dump or XYZ file of at least one complete frame,
    // 0 a file of another kind (a data file, a POSCAR, or no frame in it),
    // -1 it cannot be read or its gzip data is damaged (reason says why).
    // A frame cut short (the last one of a run that stopped) is left out and
    // remark() says so: "frame 12 is incomplete: 37 of 108 atoms".
    int open(const std::string& path, std::string* reason = nullptr);

    int count() const { return static_cast<int>(frames_.size()); }
    bool gzipped() const { return gz_; }
    bool xyz() const { return xyz_; }
    const std::string& path() const { return path_; }
    const std::string& remark() const { return remark_; }
    // The frame's TIMESTEP (dumps) or its index (XYZ).
    long long timestep(int k) const;

    // Reads frame k (0-based) into s, replacing it only on success; the codes
    // of QB_read_file (3 dump read, 4 dump data short, 9 XYZ read, 10 XYZ
    // broken, QB_READ_UNREADABLE the file cannot be read again). A gzipped
    // file is decompressed from its start up to the frame.
    int read(int k, QB_tools* s, std::string* reason = nullptr) const;

private:
    struct Frame {
        uint64_t start, end;
        long long step;
    };
    bool frame_text(int k, std::string& text, std::string* reason) const;

    std::string path_;
    bool gz_ = false, xyz_ = false;
    std::vector<Frame> frames_;
    std::string remark_;
};

// Reads frame k (0-based) of path, whatever its kind: a single-frame file
// (data file, POSCAR, ...) has frame 0 only. count gets the number of
// frames, remark the note on an incomplete frame. QB_read_file's codes; a
// frame beyond the file gives QB_READ_UNREADABLE with the reason.
int QB_read_frame(QB_tools* s, const char* path, int frame, std::string* reason = nullptr, int* count = nullptr,
                  std::string* remark = nullptr);
