// The polycrystal and nanocomposite editor, computing side: the store group
// of the form, the grain list behind the "Model Detail" table (seeding,
// editing, the grain window's range operations, Save and Exit), and the
// keyword file "./Quelm_ply.input" it writes for the generator. No FLTK.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "qb/qb_tools.h"

constexpr int QN_POLY_GROUP = 0;
constexpr int QN_POLY_FILES = 6;  // template files of a nanocomposite
extern const char* const QN_POLY_TITLE;      // "Build a poly-crystal model with given files"
extern const char* const QN_POLY_NO_FILE;    // "No File"
extern const char* const QN_POLY_FILL_SEED;  // "Please fill all seed first"

// Resets store group 0 with the form's title and writes "Model_"
// ("Poly_Crystal%d" with the mode: 0 polycrystal, 1 nanocomposite) and
// "Model_Poly_file" ("./Quelm_ply.input") and "M_elements" (empty). 1, or a
// store refusal.
int QN_model_poly_defaults(int mode);

// Runs the generator on the keyword file named by "Model_Poly_file" of
// group 0 into model, the log going to log_path: the generator's code and
// message (the model is untouched unless it built); the types are named
// after "M_elements" when it is given (a list that does not fit refuses the
// build), else after the templates' elements.
int QN_model_poly_build(QB_tools* model, const std::string& log_path, std::string& message);

// One grain of the table: seed x, y, z; the crystal directions along box x
// (xh, xk, xl), y and z; its template number (0 none, 1 ... 6).
struct QN_poly_grain {
    double v[12];
    int file;
};

// The grains of the editor with the box, cut-off and template count the
// form gives them.
class QN_poly_grains {
public:
    std::vector<QN_poly_grain> grains;
    double box[3] = {0, 0, 0};
    double cutoff = 0;
    bool lock = false;  // positions and directions read-only in the table
    int files = 1;      // template files in use, 1 ... 6

    // Appends a grain with template number 1.
    void add_grain(double x, double y, double z, double xh, double xk, double xl, double yh, double yk, double yl,
                   double zh, double zk, double zl);
    // Removes grains first ... last (0-based, inclusive), closing the gap.
    void delete_grain(int first, int last);
    // Sets their template number to 0.
    void clear_grain(int first, int last);

    // n grains at random positions with random directions, continuing the
    // program's random sequence ("Add" of the grain window).
    void add_random(int n);
    // "Number:" of "Random grain" and "Manual grain": seeds the program's
    // generator with `seed` when there is no grain yet, then replaces every
    // grain by n random ones.
    void random_core(int n, int seed);
    // "Number:" of "Random average": the same with positions kept apart by
    // (1.732 X Y Z / n)^(1/3), relaxed by 0.01 % after every 10000
    // rejections. Returns the distance the positions kept.
    double ranave_core(int n, int seed);

    // A table cell typed in: column 0 the template number (clamped to
    // 0 ... files), columns 1 ... 12 the grain's values. Returns the value the
    // cell shows afterwards.
    double set_cell(int row, int column, double value);

    // The grain window's operations on 1-based ranges, used only when
    // 1 <= first <= last <= grain count (otherwise nothing happens).
    void delete_range(int first, int last);
    void assign_range(int first, int last, int number);  // "Select": template `number`
    void clear_range(int first, int last);

    // The grain window: opening keeps a copy, "Save" renews it, "Exit"
    // brings the grains back from it, "Save && Exit" drops it.
    void keep_backup() { backup_ = grains; }
    void restore_backup() { grains = backup_; }
    void drop_backup() { backup_.clear(); }

    // Writes the generator's keyword file: "mode 3D", "box", "cutoff", the
    // grains of template 1 ... n in table order, then those of none, then a
    // "build" line (with "0 0 0") for each template that has grains. 1
    // written; -1 the file could not be written; -2 a template name the file
    // cannot carry (blanks, or empty), with the name in `bad`.
    int write(const std::string& path, const std::array<std::string, QN_POLY_FILES>& names, std::string* bad = nullptr) const;

private:
    void add_oriented(const double position[3]);
    std::vector<QN_poly_grain> backup_;
};
