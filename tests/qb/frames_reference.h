// The positions LAMMPS wrote for the 3-frame copper run ("dump xyz … sort
// id" to twelve digits): one map of id to position per frame.
#pragma once

#include <array>
#include <fstream>
#include <map>
#include <string>
#include <vector>

inline std::vector<std::map<int, std::array<double, 3>>> lammps_reference(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::map<int, std::array<double, 3>>> frames;
    int n;
    std::string line;
    while (in >> n) {
        std::getline(in, line);
        std::getline(in, line);
        auto& f = frames.emplace_back();
        for (int i = 1; i <= n; i++) {
            std::string el;
            std::array<double, 3> p;
            in >> el >> p[0] >> p[1] >> p[2];
            f[i] = p;
        }
    }
    return frames;
}
