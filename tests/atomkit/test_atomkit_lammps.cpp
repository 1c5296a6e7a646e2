// Atomkit's regions and steps against LAMMPS. Every case in
// atomkit/fixtures/lammps is an Atomkit recipe (NAME.txt) and what LAMMPS
// made of the same selection or operation on base.lmp (NAME.lammps, written
// by atomkit/oracle/check_atomkit_lammps.py, which holds the mapping between
// the recipe's parameters and LAMMPS' commands; the commands are repeated in
// the file's comment lines). quelm-batch replays the recipe on base.lmp and
// must give what LAMMPS gave:
//   select R              the atoms of region R: the ids of the "ids" line;
//   step                  after the recipe: the box ("box xlo xhi ylo yhi zlo
//                         zhi xy xz yz"), every id ("ids") and the atoms
//                         given as "id type x y z": with "listed changed"
//                         these are all the atoms LAMMPS put somewhere else
//                         than the base has them (the others must stay
//                         where they were), with "listed every K" the ids
//                         1, K + 1, 2K + 1, ...
// "match" tells how our atoms meet LAMMPS' ones: by id; by position (a
// recipe that deletes atoms renumbers the survivors, LAMMPS keeps their
// ids); or "replicate NX NY NZ" by source atom and copy (Atomkit numbers the
// copies with z innermost, LAMMPS with x innermost).
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace fs = std::filesystem;

namespace {

const std::string kDir = std::string(QUELM_TEST_DATA) + "/atomkit/fixtures/lammps/";
// 1e-5 A, and the rounding of our output (six decimals) and of the
// fixture (seven).
constexpr double kTolerance = 1.1e-5;

const char* const kCases[] = {
    // Shapes.
    "region_block", "region_sphere", "region_cylinder_x", "region_cylinder_y", "region_cylinder_z",
    "region_cone_up_z", "region_cone_down_z", "region_cone_down_x", "region_cone_down_y", "region_cone_up_y",
    "region_half_space", "region_slab_unit_normal", "region_slab_long_normal",
    "region_prism_z_6", "region_prism_x_5", "region_prism_y_5", "region_octahedron", "region_expression_x",
    // Derived regions.
    "region_and", "region_or", "region_not", "region_neither", "region_complement",
    "region_move_angstrom", "region_move_box_units",
    "region_rotate_z", "region_rotate_cylinder", "region_rotate_cone_negative",
    // Steps.
    "step_delete_sphere", "step_delete_not_block",
    "step_move_angstrom", "step_move_box_units", "step_move_destination",
    "step_rotate_region", "step_rotate_all",
    "step_tensile_x_remap_all", "step_tensile_z_atoms_only", "step_tensile_y_box_only", "step_compress_y_remap_all",
    "step_shear_yx", "step_shear_zx", "step_shear_zy",
    "step_duplicate", "step_shear_then_duplicate",
    "step_add_atom_angstrom", "step_add_atom_box_units",
    "step_alias_tensile_c", "step_alias_compress_a", "step_alias_shear_ab", "step_alias_shear_bc",
    "step_chain_move_rotate_delete",
};

struct Atom {
    int type = 0;
    std::array<double, 3> p{};
};
using Atoms = std::map<int, Atom>;
using Box = std::array<double, 9>;  // xlo xhi ylo yhi zlo zhi xy xz yz
const char* const kBoxNames[9] = {"xlo", "xhi", "ylo", "yhi", "zlo", "zhi", "xy", "xz", "yz"};

// "1-5 9 12-14" (the rest of a line).
std::set<int> read_ranges(std::istringstream& in) {
    std::set<int> ids;
    std::string word;
    while (in >> word) {
        const size_t dash = word.find('-');
        const int first = std::stoi(word.substr(0, dash));
        const int last = dash == std::string::npos ? first : std::stoi(word.substr(dash + 1));
        for (int i = first; i <= last; i++) ids.insert(i);
    }
    return ids;
}

struct Expected {
    bool select = false;
    std::string region;
    std::string match = "id";
    int copies[3] = {1, 1, 1};
    Box box{};
    std::set<int> ids;
    int every = 0;  // 0: the listed atoms are all the changed ones
    Atoms listed;
};

Expected read_expected(const std::string& path) {
    Expected e;
    std::istringstream file(slurp(path));
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream in(line);
        std::string key;
        in >> key;
        if (key == "select") {
            e.select = true;
            in >> e.region;
        } else if (key == "match") {
            in >> e.match;
            if (e.match == "replicate") in >> e.copies[0] >> e.copies[1] >> e.copies[2];
        } else if (key == "box") {
            for (double& v : e.box) in >> v;
        } else if (key == "ids") {
            e.ids = read_ranges(in);
        } else if (key == "listed") {
            std::string how;
            in >> how;
            if (how == "every") in >> e.every;
        } else if (key != "step") {
            Atom a;
            in >> a.type >> a.p[0] >> a.p[1] >> a.p[2];
            e.listed[std::stoi(key)] = a;
        }
    }
    return e;
}

// A LAMMPS data file as our writer (and the base) has it: no image flags.
bool read_data(const std::string& path, Box& box, Atoms& atoms) {
    box.fill(0);
    atoms.clear();
    std::istringstream file(slurp(path));
    std::string line;
    bool in_atoms = false;
    while (std::getline(file, line)) {
        std::istringstream in(line);
        std::vector<std::string> w;
        for (std::string s; in >> s;) w.push_back(s);
        if (in_atoms) {
            if (w.size() < 5) continue;
            atoms[std::stoi(w[0])] = {std::stoi(w[1]), {std::stod(w[2]), std::stod(w[3]), std::stod(w[4])}};
        } else if (w.size() == 4 && (w[2] == "xlo" || w[2] == "ylo" || w[2] == "zlo")) {
            const int d = w[2][0] - 'x';
            box[2 * d] = std::stod(w[0]);
            box[2 * d + 1] = std::stod(w[1]);
        } else if (w.size() == 6 && w[3] == "xy") {
            for (int k = 0; k < 3; k++) box[6 + k] = std::stod(w[k]);
        } else if (!w.empty() && w[0] == "Atoms") {
            in_atoms = true;
        }
    }
    return !atoms.empty();
}

// The ids of our custom dump whose column Select is 1.
std::set<int> read_selected(const std::string& path) {
    std::istringstream file(slurp(path));
    std::string line;
    int id_column = -1, select_column = -1;
    std::set<int> ids;
    while (std::getline(file, line)) {
        std::istringstream in(line);
        std::vector<std::string> w;
        for (std::string s; in >> s;) w.push_back(s);
        if (line.rfind("ITEM: ATOMS", 0) == 0) {
            for (size_t k = 2; k < w.size(); k++) {
                if (w[k] == "id") id_column = static_cast<int>(k) - 2;
                if (w[k] == "Select") select_column = static_cast<int>(k) - 2;
            }
        } else if (select_column >= 0 && id_column >= 0 && static_cast<int>(w.size()) > select_column) {
            if (std::stoi(w[static_cast<size_t>(select_column)]) == 1)
                ids.insert(std::stoi(w[static_cast<size_t>(id_column)]));
        }
    }
    return ids;
}

double distance(const std::array<double, 3>& a, const std::array<double, 3>& b) {
    return std::max({std::fabs(a[0] - b[0]), std::fabs(a[1] - b[1]), std::fabs(a[2] - b[2])});
}

std::string show(const std::array<double, 3>& p) {
    std::ostringstream s;
    s.precision(7);
    s << std::fixed << '(' << p[0] << ", " << p[1] << ", " << p[2] << ')';
    return s.str();
}

std::string show(const std::set<int>& ids, size_t most = 10) {
    std::ostringstream s;
    size_t n = 0;
    for (int i : ids) {
        if (n++ == most) {
            s << " ...";
            break;
        }
        s << (n > 1 ? " " : "") << i;
    }
    return s.str();
}

// "" when the sets agree, else what each has alone.
std::string difference(const std::set<int>& ours, const std::set<int>& lammps) {
    std::set<int> only_ours, only_lammps;
    for (int i : ours)
        if (!lammps.count(i)) only_ours.insert(i);
    for (int i : lammps)
        if (!ours.count(i)) only_lammps.insert(i);
    if (only_ours.empty() && only_lammps.empty()) return "";
    return std::to_string(ours.size()) + " atoms, LAMMPS " + std::to_string(lammps.size()) + "; only ours: " +
           show(only_ours) + "; only LAMMPS: " + show(only_lammps);
}

class AtomkitAgainstLammps : public testing::TestWithParam<const char*> {
protected:
    void SetUp() override { ASSERT_TRUE(read_data(kDir + "base.lmp", base_box_, base_)); }

    // quelm-batch atomkit on the base and the case's recipe.
    int replay(const std::string& out, const std::string& extra = "") {
        const std::string cmd = std::string(QUELM_BATCH) + " atomkit '" + kDir + "base.lmp' '" + kDir + GetParam() +
                                ".txt' -o '" + out + "'" + extra + " > '" + scratch_.path("stdout") + "' 2> '" +
                                scratch_.path("stderr") + "' < /dev/null";
        const int raw = std::system(cmd.c_str());
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }
    std::string messages() { return slurp(scratch_.path("stdout")) + slurp(scratch_.path("stderr")); }

    // LAMMPS' id of each of our atoms.
    std::map<int, int> lammps_ids(const Expected& e, const Atoms& ours) {
        std::map<int, int> to;
        if (e.match == "id") {
            for (const auto& [id, a] : ours) to[id] = id;
        } else if (e.match == "replicate") {
            const int n = static_cast<int>(base_.size());
            const int nx = e.copies[0], ny = e.copies[1], nz = e.copies[2];
            for (const auto& [id, a] : ours) {
                const int source = (id - 1) % n, copy = (id - 1) / n;
                const int i = copy / (ny * nz), j = copy / nz % ny, k = copy % nz;
                to[id] = source + 1 + n * (i + nx * (j + ny * k));
            }
        } else {
            // By place: LAMMPS' atoms are the base's with the listed ones
            // moved; each of ours must sit on exactly one of them.
            EXPECT_EQ(e.match, "position");
            EXPECT_EQ(e.every, 0) << "atoms matched by position need every changed atom listed";
            Atoms theirs;
            for (int id : e.ids) {
                const auto listed = e.listed.find(id);
                if (listed != e.listed.end())
                    theirs[id] = listed->second;
                else if (base_.count(id))
                    theirs[id] = base_.at(id);
            }
            std::set<int> taken;
            for (const auto& [id, a] : ours) {
                int best = -1;
                double nearest = 1e300;
                for (const auto& [their_id, b] : theirs) {
                    const double d = distance(a.p, b.p);
                    if (d < nearest) nearest = d, best = their_id;
                }
                if (nearest > kTolerance || !taken.insert(best).second) {
                    ADD_FAILURE() << "our atom " << id << " at " << show(a.p) << " is on no LAMMPS atom of its own";
                    continue;
                }
                to[id] = best;
            }
        }
        return to;
    }

    ScratchDir scratch_;
    Box base_box_{};
    Atoms base_;
};

TEST_P(AtomkitAgainstLammps, GivesWhatLammpsGives) {
    const Expected e = read_expected(kDir + GetParam() + ".lammps");
    ASSERT_FALSE(e.ids.empty()) << "no ids in the fixture";

    if (e.select) {
        const std::string out = scratch_.path("out.lmc");
        ASSERT_EQ(replay(out, " --select " + e.region), 0) << messages();
        EXPECT_EQ(difference(read_selected(out), e.ids), "") << "selected";
        return;
    }

    const std::string out = scratch_.path("out.lmp");
    ASSERT_EQ(replay(out), 0) << messages();
    Box box;
    Atoms ours;
    ASSERT_TRUE(read_data(out, box, ours)) << slurp(out);
    for (int k = 0; k < 9; k++) EXPECT_NEAR(box[k], e.box[k], kTolerance) << kBoxNames[k];

    const std::map<int, int> to = lammps_ids(e, ours);
    std::set<int> mapped;
    for (const auto& [id, their_id] : to) mapped.insert(their_id);
    EXPECT_EQ(ours.size(), e.ids.size());
    EXPECT_EQ(difference(mapped, e.ids), "") << "LAMMPS' ids of our atoms";

    int wrong = 0, checked = 0;
    for (const auto& [id, their_id] : to) {
        const Atom& a = ours.at(id);
        const auto listed = e.listed.find(their_id);
        const Atom* want = nullptr;
        if (listed != e.listed.end())
            want = &listed->second;
        else if (e.every == 0 && base_.count(their_id))
            want = &base_.at(their_id);
        if (!want) continue;
        checked++;
        if (a.type != want->type || distance(a.p, want->p) > kTolerance) {
            if (wrong++ < 5)
                ADD_FAILURE() << "atom " << their_id << " (ours " << id << "): type " << a.type << " at " << show(a.p)
                              << ", LAMMPS type " << want->type << " at " << show(want->p);
        }
    }
    EXPECT_EQ(wrong, 0) << wrong << " of " << checked << " atoms differ";
    EXPECT_GE(checked, static_cast<int>(e.listed.size()));
}

INSTANTIATE_TEST_SUITE_P(Cases, AtomkitAgainstLammps, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

// The fixture folder holds the cases above and no others.
TEST(AtomkitLammpsFixtures, EveryCaseIsReplayed) {
    std::set<std::string> files, listed;
    for (const auto& entry : fs::directory_iterator(kDir))
        if (entry.path().extension() == ".lammps") files.insert(entry.path().stem().string());
    for (const char* name : kCases) {
        listed.insert(name);
        EXPECT_TRUE(fs::exists(kDir + name + ".txt")) << name;
    }
    EXPECT_EQ(files, listed);
}

}  // namespace
