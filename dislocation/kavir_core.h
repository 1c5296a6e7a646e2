// The dislocation-analysis engine's core: the run context with its tracked
// allocator, the settings file "CMDSETTING" with the renamable keyword
// tables, the command file "INPAR" and its shared keywords, the atom record
// and its reader, the result writers and the position preprocessing.
//
// Nothing here waits for a key or ends the program: a failure throws
// KavirError with the run's exit status and its message, and the entry point
// reports it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "qb/qb_file.h"

struct QB_tools;

// Exit statuses of a run.
constexpr int KAVIR_WRITTEN = 0;    // the result was written completely
constexpr int KAVIR_BAD_DATA = 1;   // a file cannot be read or written, or the data are unusable
constexpr int KAVIR_BAD_INPAR = 2;  // a malformed command file or an unknown analysis word

struct KavirError : std::runtime_error {
    KavirError(int status_, const std::string& message) : std::runtime_error(message), status(status_) {}
    int status;
};

// Tracked allocator: every block of a run is recorded and released with
// the run, whatever way the run ends.
class CMEM {
public:
    CMEM() = default;
    ~CMEM() { destroyall(); }
    CMEM(const CMEM&) = delete;
    CMEM& operator=(const CMEM&) = delete;

    // size 0: nullptr and nothing recorded. Blocks are zero-filled. A failed
    // allocation throws KavirError ("Failed to allocate N bytes for array
    // NAME"): a run never continues on a null block.
    void* smalloc(size_t size, const char* name);
    void* srealloc(void* p, size_t size, const char* name);
    // Frees a recorded block; a block this allocator did not hand out is
    // left alone with a remark.
    void sfree(void* p);
    // Forgets a recorded block without freeing it: 1 found, 0 not.
    int setptrnull(void* p);
    void destroyall();
    void destroylist() { destroyall(); }
    [[noreturn]] void fail(const char* name);
    size_t count() const { return blocks_.size(); }

    template <class T>
    T* array(size_t n, const char* name) {
        if (n > static_cast<size_t>(-1) / sizeof(T)) fail(name);
        return static_cast<T*>(smalloc(n * sizeof(T), name));
    }

private:
    struct Free {
        void operator()(void* p) const;
    };
    std::unordered_map<void*, std::unique_ptr<void, Free>> blocks_;
};

// Settings with their compiled-in defaults; a run starts from these and
// applies its folder's "CMDSETTING".
struct KAVIR_settings {
    std::string INFILE = "INPAR";
    std::string DISFILE = "DISFILE";
    std::string REFFILE = "REFFILE";
    std::string OUTFILE = "OUTFILE";
    std::string DONOTOUT = "donotout";
    int DECIMAL_DIGIT = 9;
    int DEFALUT_INFO_NUM = -1;
    int NYE_TURN_HCP = 10;
    double NYE_HCP_COPLANE = 0.3;
    int NYE_PRINTFSTEP = 10000;
    double NYE_S1_CUTOFF = 0.3;
    double PROJNORMEPS = 1e-10;
    // Keyword tables: the name each keyword has in this run.
    std::vector<std::vector<std::string>> GKEY, SKEY;
    KAVIR_settings();
};

// Default keyword names of the tables, group by group.
extern const std::vector<std::vector<const char*>> KAVIR_GKEY_DEFAULT;
extern const std::vector<std::vector<const char*>> KAVIR_SKEY_DEFAULT;
extern const char* const FILETYPE_str[4];
extern const char* const PROJ_FORMAT_str[2];
extern const char* const linevec[6];
extern const char* const facevec[6];
// The seven analysis words.
extern const char* const KAVIR_ANALYSES;

// A result table kept in memory: column names, and one row per atom.
struct KAVIR_table {
    std::vector<std::string> columns;
    std::vector<int> id;
    std::vector<double> values;  // row after row, columns.size() per row
};

// Context of one run.
class CKAVIR {
public:
    CKAVIR(FILE* out, FILE* err, std::string dir);
    CMEM* mem;
    KAVIR_settings set;
    FILE* out;
    FILE* err;
    std::string dir;  // folder of "CMDSETTING" and of relative names
    // Models given in memory in place of the atom files (may be null).
    const QB_tools* deformed_model = nullptr;
    const QB_tools* reference_model = nullptr;
    KAVIR_table* table = nullptr;  // receives the result when set
    bool model_columns = true;     // models in memory bring their extra columns

    // A name as the run uses it: relative names lie in dir.
    std::string path(const std::string& name) const;
    // Progress and remarks on the run's output, in the C locale.
    void say(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

private:
    CMEM memory_;
};

// The analysis word of a command file: the word after its first character
// when that is '#' ("#nye", as the Analysis tab writes it), else its first
// word ("nye"); line receives its line number. Empty when there is none.
std::string KAVIR_analysis_word(const std::string& text, int& line);

// Reads dir/CMDSETTING into k->set (a missing file or a wrong first word
// leaves the defaults).
void CMDSETTING(CKAVIR* k);

// One word of a command file with its line number.
struct KAVIR_word {
    std::string text;
    int line;
};
// Arguments of a keyword: 'w' any word, 'i' integer, 'd' number,
// 'b' on/off, 'p' p or s, or the list of choices after a ':'.
struct KAVIR_keyword {
    const char* name;  // default name, as in the keyword tables
    std::vector<std::string> args;
};
// One keyword as the command file gives it.
struct KAVIR_entry {
    std::string key;  // default name
    std::vector<std::string> args;
    int line;
};

// Shared keywords of every analysis' command file.
class CCMDBASE {
public:
    explicit CCMDBASE(CKAVIR* k);
    virtual ~CCMDBASE() = default;
    CKAVIR* kavir;
    CMEM* mem;

    std::string datafile_def, datafile_ref;
    int line_def = 0, line_ref = 0;
    int prop_def, prop_ref;
    std::string write_datafile;
    int decimal_digit;
    int write_datatype = 0;
    bool boundary[3] = {true, true, true};
    bool showpbc = false;
    bool warpin = true;
    bool eliminate_cell = true;
    int proj_axis = 0, proj_face = 0;
    double proj_norm[3] = {0, 0, 1};
    double proj_dis[2] = {0, 0};
    int proj_format = 0;
    bool has_porjection = false, has_proj_norm = false, has_proj_dis = false, test_mode = false;
    bool proj_unsave = true;
    std::vector<int> proj_idx;
    std::string inpar;  // the command file's name as given

    // Reads the command file: its analysis word, then one keyword per line
    // with its arguments (lattice matrices may continue on the next lines).
    // Keywords of this reader and of the groups in own are accepted; any
    // other word, a missing or malformed argument or words after the
    // arguments throw KavirError with status 2 and "INPAR:LINE: reason".
    // Returns the entries of the own groups for the analysis to apply.
    std::vector<KAVIR_entry> readcut(const std::string& path, const std::vector<KAVIR_keyword>& own, int own_group);

    // The real format of the results ("%.9e") and a value written with it.
    void real(std::string& out, double v, char sep) const;
    bool no_output() const { return write_datafile == kavir->set.DONOTOUT; }
    // Result-file name made of write_datafile and a suffix, in the run's folder.
    std::string out_name(const std::string& suffix) const { return kavir->path(write_datafile + suffix); }
    // Writes a result header: IMD or LAMMPS custom dump.
    void head_out(FILE* f, const char* columns, int n, const double lo[3], const double hi[3]) const;
    // Name of a projection file (k <= 0 the axis and plane, k > 0 axis k).
    std::string proj_name(int k) const;

    // Neighbour keywords.
    double x_lneigh = 0.5;
    bool has_cutoff = false;
    std::vector<int> cut_type;
    std::vector<double> cut_len;
    bool bin = false;
    bool neighbor_list = false;
    int neighset = 0;
    bool has_burgers = false;
    double burgers[3] = {0, 0, 0};

private:
    void apply_base(const KAVIR_entry& e);
};

// The atoms of one configuration.
struct atom {
    int natoms = -1;
    std::vector<int> id;
    std::vector<int> type;
    std::vector<double> pos;   // x, y, z per atom
    int ninfo = 0;
    std::vector<double> info;  // ninfo per atom
    int boxtype = 0;           // 2 when the file gave a box
    double box[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};  // lo, hi, lengths
    void init(int n, int ninfo_);
    double* p(int i) { return &pos[3 * static_cast<size_t>(i)]; }
    const double* p(int i) const { return &pos[3 * static_cast<size_t>(i)]; }
};

// Atom files: LAMMPS dumps (columns by name: x y z, xs ys zs, xu yu zu …),
// LAMMPS data files and IMD files (as the engine writes them).
class CREADATOM {
public:
    explicit CREADATOM(CKAVIR* k) : kavir(k) {}
    CKAVIR* kavir;
    // Reads path into a; *ninfo in: columns wanted (-1 all, below -1 none),
    // out: columns read. Throws KavirError (status 1) with the reason.
    void read(const std::string& path, atom* a, int* ninfo);
    // The same from a model in memory.
    void take(const QB_tools* model, atom* a, int* ninfo, const std::string& name);
};

// Smallest and largest coordinate of the atoms along an axis.
void KAVIR_extent(int n, const double* pos, int axis, double& lo, double& hi);

// Position preprocessing. Boxes are lo, hi, lengths.
void pre_warpin(const double box[3][3], int n, double* pos, const bool* periodic);
void pre_box_size(double box[3][3], int n, const double* pos);
void pre_mindisplace(const bool* periodic, const double* len, int n, double* ref, const double* def);
// Maps reference positions from the reference box onto the deformed box
// (relative to each box's lower corner), which takes a homogeneous change of
// the box out of the comparison. Boxes are lo, hi, lengths.
void pre_eliminate_cell(const double defbox[3][3], const double refbox[3][3], int n, double* ref);

// Projection of vectors onto a plane.
class CPROJECT {
public:
    double normal[3] = {0, 0, 1};
    int axis = 0;
    int base = 2;
    double rot[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    double trot[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    bool flatten = true;
    int plane[2] = {0, 1};
    int result = 0;
    double eps = 1e-10;
    int init(FILE* log);
    void calc(double* v) const;
};

// Sets up the projection and selects the atoms to write (all, or those whose
// position along the normal lies within proj_dis).
int proj_init(CCMDBASE* cmd, CPROJECT* p, int n, const double* pos);

// Writes one text file through a temporary name: the text is made by
// fill, in blocks of rows made side by side on the processor's cores.
// Throws KavirError (status 1) when it cannot be written.
class KAVIR_out {
public:
    explicit KAVIR_out(const std::string& path);
    void text(const std::string& s);
    // n rows, row(i, out) appends row i.
    template <class Row>
    void rows(size_t n, Row row);
    void commit();
    FILE* file() { return file_.get(); }

private:
    void put(const std::string& s);
    QB_output_file file_;
    std::string path_;
};

// Runs body(begin, end) over blocks of [0, n) on the processor's cores.
void KAVIR_parallel(size_t n, size_t block, const std::function<void(size_t, size_t)>& body);

template <class Row>
void KAVIR_out::rows(size_t n, Row row) {
    constexpr size_t kBlock = 8192;
    const size_t blocks = (n + kBlock - 1) / kBlock;
    // Format a few blocks at a time so the text held never grows with n.
    const size_t wave = 64;
    for (size_t first = 0; first < blocks; first += wave) {
        const size_t count = std::min(wave, blocks - first);
        std::vector<std::string> parts(count);
        KAVIR_parallel(count, 1, [&](size_t b0, size_t b1) {
            for (size_t b = b0; b < b1; b++) {
                const size_t begin = (first + b) * kBlock, end = std::min(n, begin + kBlock);
                for (size_t i = begin; i < end; i++) row(i, parts[b]);
            }
        });
        for (const std::string& s : parts) put(s);
    }
}

// Writes the three default projection files of vectors vec over the
// selected atoms.
// In test mode the files are dumps whose vector columns take `name`.
void proj_default(CCMDBASE* cmd, const int* plane, const std::vector<const double*>& pos,
                  const std::vector<const double*>& vec, const double lo[3], const double hi[3],
                  const std::string& name = "Displacement");
