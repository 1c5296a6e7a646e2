// The compiled part of the Python package `quelm`: a model's atoms as NumPy
// arrays (views of the model's memory where its layout allows), the
// structure files of the core, ASE both ways and the analyses, each failure
// a Python exception with the core's message.
#include "python/quelm_module.h"

#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "analysis/measure_driver.h"
#include "analysis/morla_driver.h"
#include "analysis/morla_summary.h"
#include "qb/qb_frames.h"
#include "qb/qb_text.h"
#include "qb/qb_tools.h"
#include "store/quelm_batch_core.h"
#include "store/quelm_model_io.h"
#include "store/quelm_store.h"
#include "python/long_run.h"

namespace qpy {

void os_error(const std::string& message) {
    PyErr_SetString(PyExc_OSError, message.c_str());
    throw py::error_already_set();
}

void value_error(const std::string& message) { throw py::value_error(message); }

std::vector<std::string> settings_entries(const py::dict& settings, const std::string& prefix, bool join_lists) {
    std::vector<std::string> entries;
    auto text = [](py::handle x) {
        return py::isinstance<py::bool_>(x) ? std::string(x.cast<bool>() ? "1" : "0") : py::str(x).cast<std::string>();
    };
    for (auto item : settings) {
        const std::string label = "-" + prefix + py::str(item.first).cast<std::string>() + "=";
        py::handle v = item.second;
        if (py::isinstance<py::list>(v) || py::isinstance<py::tuple>(v)) {
            if (join_lists) {
                std::string joined;
                for (py::handle x : v) joined += (joined.empty() ? "" : ",") + text(x);
                entries.push_back(label + joined);
            } else {
                for (py::handle x : v) entries.push_back(label + text(x));
            }
        } else {
            entries.push_back(label + text(v));
        }
    }
    return entries;
}

py::array_t<double> column_copy(const QB_tools& s, const std::string& name) {
    const int slot = QB_slot_get(&s, name.c_str());
    py::array_t<double> a(s.natoms);
    auto w = a.mutable_unchecked<1>();
    for (int i = 0; i < s.natoms; i++) w(i) = QB_slot_data(&s, slot, i);
    return a;
}

namespace {

// The box as rows a, b, c and the origin, for either form of the record.
void box_of(const QB_tools& s, double cell[3][3], double origin[3]) {
    for (int d = 0; d < 3; d++) {
        origin[d] = s.triclinic == 1 ? s.origin[d] : s.lo[d];
        for (int k = 0; k < 3; k++) cell[d][k] = s.triclinic == 1 ? s.cell[d][k] : (d == k ? s.size[d] : 0.0);
    }
}

// Sets the box from rows and origin: orthogonal when the rows are, else
// triclinic with its bounding box.
void set_box(QB_tools& s, const double cell[3][3], const double origin[3]) {
    bool orthogonal = true;
    for (int d = 0; d < 3; d++)
        for (int k = 0; k < 3; k++)
            if (d != k && cell[d][k] != 0) orthogonal = false;
    for (int d = 0; d < 3; d++) {
        s.origin[d] = origin[d];
        for (int k = 0; k < 3; k++) s.cell[d][k] = cell[d][k];
    }
    s.triclinic = orthogonal ? 0 : 1;
    for (int k = 0; k < 3; k++) {
        double lo = origin[k], hi = origin[k];
        for (int corner = 0; corner < 8; corner++) {
            double v = origin[k];
            for (int d = 0; d < 3; d++)
                if (corner >> d & 1) v += cell[d][k];
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
        s.lo[k] = lo;
        s.size[k] = hi - lo;
    }
}

py::array positions_of(py::object owner) {
    Model& m = owner.cast<Model&>();
    const py::ssize_t n = m.s.natoms;
    if (n == 0) return py::array_t<double>(std::vector<py::ssize_t>{0, 3});
    return py::array_t<double>({n, py::ssize_t(3)}, {py::ssize_t(sizeof(atomdata)), py::ssize_t(sizeof(double))},
                               &m.s.atoms[0].x, owner);
}

template <class T>
py::array field_of(py::object owner, std::ptrdiff_t offset) {
    Model& m = owner.cast<Model&>();
    const py::ssize_t n = m.s.natoms;
    if (n == 0) return py::array_t<T>(0);
    auto* base = reinterpret_cast<char*>(m.s.atoms.data()) + offset;
    return py::array_t<T>({n}, {py::ssize_t(sizeof(atomdata))}, reinterpret_cast<T*>(base), owner);
}

// The per-atom columns as name -> view (file columns, integer and double columns).
py::dict columns_of(py::object owner) {
    Model& m = owner.cast<Model&>();
    py::dict out;
    const py::ssize_t n = m.s.natoms;
    for (int c = 0; c < m.s.channel_count; c++)
        out[py::str(m.s.channel_names[static_cast<size_t>(c)])] =
            py::array_t<double>({n}, {py::ssize_t(sizeof(double))}, m.s.channel_data[static_cast<size_t>(c)].data(), owner);
    for (int c = 0; c < m.s.exint_count; c++)
        out[py::str(m.s.exint_names[static_cast<size_t>(c)])] =
            py::array_t<int>({n}, {py::ssize_t(sizeof(int))}, m.s.exint_data[static_cast<size_t>(c)].data(), owner);
    for (int c = 0; c < m.s.exdouble_count; c++)
        out[py::str(m.s.exdouble_names[static_cast<size_t>(c)])] = py::array_t<double>(
            {n}, {py::ssize_t(sizeof(double))}, m.s.exdouble_data[static_cast<size_t>(c)].data(), owner);
    return out;
}

Model make_model(py::array_t<double, py::array::c_style | py::array::forcecast> positions,
                 py::array_t<int, py::array::c_style | py::array::forcecast> types,
                 py::array_t<double, py::array::c_style | py::array::forcecast> cell, py::object origin,
                 py::object pbc, py::object ids, py::object elements) {
    if (positions.ndim() != 2 || positions.shape(1) != 3) throw py::value_error("positions must be an N x 3 array");
    const py::ssize_t n = positions.shape(0);
    if (types.ndim() != 1 || types.shape(0) != n) throw py::value_error("types must hold one type per atom");
    if (cell.ndim() != 2 || cell.shape(0) != 3 || cell.shape(1) != 3)
        throw py::value_error("cell must be a 3 x 3 array whose rows are the box vectors");
    double c[3][3], o[3] = {0, 0, 0};
    for (int d = 0; d < 3; d++)
        for (int k = 0; k < 3; k++) c[d][k] = cell.at(d, k);
    if (!origin.is_none()) {
        const std::vector<double> v = origin.cast<std::vector<double>>();
        if (v.size() != 3) throw py::value_error("origin must hold three numbers");
        for (int d = 0; d < 3; d++) o[d] = v[static_cast<size_t>(d)];
    }
    const double volume = c[0][0] * (c[1][1] * c[2][2] - c[1][2] * c[2][1]) - c[0][1] * (c[1][0] * c[2][2] - c[1][2] * c[2][0]) +
                          c[0][2] * (c[1][0] * c[2][1] - c[1][1] * c[2][0]);
    if (!(std::fabs(volume) > 0) || !std::isfinite(volume)) throw py::value_error("the cell has no volume");
    Model m;
    set_box(m.s, c, o);
    if (!pbc.is_none()) {
        const std::vector<bool> p = pbc.cast<std::vector<bool>>();
        if (p.size() != 3) throw py::value_error("pbc must hold three flags");
        for (int d = 0; d < 3; d++) m.s.periodic[d] = p[static_cast<size_t>(d)] ? 1 : 0;
    }
    std::vector<int> id_values;
    if (!ids.is_none()) {
        id_values = ids.cast<std::vector<int>>();
        if (id_values.size() != static_cast<size_t>(n)) throw py::value_error("ids must hold one id per atom");
    }
    int ntypes = 0;
    for (py::ssize_t i = 0; i < n; i++) {
        const int t = types.at(i);
        if (t < 1 || t > QB_MAX_TYPES) throw py::value_error(QB_format("atom %zd has type %d: types start at 1", i, t));
        const double x = positions.at(i, 0), y = positions.at(i, 1), z = positions.at(i, 2);
        if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(z))
            throw py::value_error(QB_format("atom %zd has a position that is not a number", i));
        QB_create_atom(&m.s, t, x, y, z);
        if (!id_values.empty()) {
            if (id_values[static_cast<size_t>(i)] < 1) throw py::value_error("ids start at 1");
            m.s.atoms[static_cast<size_t>(i)].id = id_values[static_cast<size_t>(i)];
        }
        ntypes = std::max(ntypes, t);
    }
    m.s.ntypes = std::max(m.s.ntypes, ntypes);
    if (!elements.is_none()) {
        const std::vector<std::string> names = elements.cast<std::vector<std::string>>();
        std::string list;
        for (const std::string& e : names) list += (list.empty() ? "" : ",") + e;
        std::string why;
        if (QB_set_elenames(&m.s, list, &why) != 1) throw py::value_error(why);
    }
    return m;
}

Model read_file(const std::string& path, py::object frame, py::object progress) {
    Model m;
    std::string reason, text;
    int count = 0;
    const int k = frame.is_none() ? 0 : frame.cast<int>();
    if (k < 0) throw py::value_error("frame must be 0 or more");
    int code = 0;
    run_long(progress, [&] { code = QB_read_frame(&m.s, path.c_str(), k, &reason, &count); });
    if (QN_read_report(code, &m.s, text, reason) != 1)
        os_error(text.empty() ? "Reading file failed\n" + path : text);
    return m;
}

void write_file(Model& m, const std::string& path, py::object format) {
    // A format is named as a file's ending would name it ("lmc", "POSCAR", "xyz").
    const int kind = QN_export_kind(format.is_none() ? path : "." + format.cast<std::string>());
    if (kind < 0)
        value_error("Unknown file format of " + path + " (.lmc, .lmp, .POSCAR, .xyz, each also .gz)");
    int written = 0;
    run_long(py::none(), [&] { written = QN_write_model(&m.s, path.c_str(), kind); });
    if (written != 1) os_error(QN_write_failure(&m.s, written, path));
}

const char* const kStructureMethods[] = {"cna", "baa", "cnp", "csp", "lco", "oim"};

// Fills a store group from settings as quelm-batch fills it from -LABEL=VALUE.
void fill_settings(int group, const std::string& prefix, const py::dict& settings, bool join_lists) {
    QN_batch_args args;
    args.entries = settings_entries(settings, prefix, join_lists);
    std::string error;
    if (QN_batch_fill_group(group, args, error) != 0) value_error(error);
}

py::array_t<double> array_of(const std::vector<double>& v) {
    py::array_t<double> a(static_cast<py::ssize_t>(v.size()));
    std::copy(v.begin(), v.end(), a.mutable_data());
    return a;
}

// The model's own columns, noted before an analysis whose columns are not
// to stay: afterwards the columns it added are taken out again and the
// values of those it replaced put back, in place, so views of the model's
// columns stay valid.
class ColumnsAside {
public:
    explicit ColumnsAside(const QB_tools& s)
        : channels_(s.channel_names, s.channel_data), ints_(s.exint_names, s.exint_data),
          doubles_(s.exdouble_names, s.exdouble_data) {}
    void restore(QB_tools& s) {
        channels_.restore(s.channel_names, s.channel_data, s.channel_count);
        ints_.restore(s.exint_names, s.exint_data, s.exint_count);
        doubles_.restore(s.exdouble_names, s.exdouble_data, s.exdouble_count);
    }

private:
    template <class T>
    struct Group {
        std::vector<std::string> names;
        std::vector<std::vector<T>> data;
        Group(const std::vector<std::string>& n, const std::vector<std::vector<T>>& d) : names(n), data(d) {}
        void restore(std::vector<std::string>& now_names, std::vector<std::vector<T>>& now_data, int& count) {
            for (size_t k = now_names.size(); k-- > 0;) {
                const auto was = std::find(names.begin(), names.end(), now_names[k]);
                if (was == names.end()) {
                    now_names.erase(now_names.begin() + static_cast<std::ptrdiff_t>(k));
                    if (k < now_data.size()) now_data.erase(now_data.begin() + static_cast<std::ptrdiff_t>(k));
                    continue;
                }
                const std::vector<T>& old = data[static_cast<size_t>(was - names.begin())];
                if (k < now_data.size() && now_data[k].size() == old.size())
                    std::copy(old.begin(), old.end(), now_data[k].begin());
                else if (k < now_data.size())
                    now_data[k] = old;
            }
            count = static_cast<int>(now_names.size());
        }
    };
    Group<double> channels_;
    Group<int> ints_;
    Group<double> doubles_;
};

// The everyday measurements: their columns and table as arrays, and their numbers.
void measure(Model& m, int k, int threads, const py::dict& settings, Model* reference, const py::object& progress,
             py::dict& result) {
    CoreHold hold;
    QN_store_init();
    const int g = QN_measure_defaults();
    fill_settings(g, QN_measure_kinds[k].prefix, settings, true);
    QN_measure_output out;
    int done = 0;
    run_long(progress, [&] { done = QN_measure_run(&m.s, k, &out, reference ? &reference->s : nullptr, threads); });
    if (done != 1) value_error(out.message);
    for (const std::string& c : out.columns) result[py::str(c)] = column_copy(m.s, c);
    if (!out.table.names.empty()) {
        py::dict table;
        for (size_t c = 0; c < out.table.names.size(); c++) table[py::str(out.table.names[c])] = array_of(out.table.columns[c]);
        result["table"] = table;
    }
    py::dict summary;
    for (const auto& [name, value] : out.values) summary[py::str(name)] = value;
    result["summary"] = summary;
    result["message"] = out.message;
}

void structure(Model& m, const std::string& method, int threads, const py::dict& settings, const py::object& progress,
               py::dict& out) {
    CoreHold hold;
    QN_store_init();
    QN_analy_defaults(m.s.ntypes);
    QN_set_bit_int(QN_ANALY_GROUP, "A_" + method + "_active", 1, 0);
    fill_settings(QN_ANALY_GROUP, "A_" + method + "_", settings, false);
    std::string note;
    int run = 0;
    run_long(progress, [&] { run = QN_MORLA_compute(&m.s, threads, &note); });
    if (run < 0) value_error(note);
    const std::vector<std::string> columns = QN_MORLA_active_columns();
    for (const std::string& c : columns) out[py::str(c)] = column_copy(m.s, c);
    py::dict summary;
    for (const QN_MORLA_row& r : QN_MORLA_summary(&m.s, &columns).rows)
        summary[py::str(r.label)] = r.has_value ? py::cast(r.value) : py::cast(r.count);
    out["summary"] = summary;
    out["message"] = note;
}

py::dict analyse(Model& m, const std::string& method, int threads, py::object reference, bool add_columns,
                 py::object progress, py::dict settings) {
    if (threads < 0) value_error("threads must be 0 (all cores) or more");
    std::optional<ColumnsAside> aside;
    if (!add_columns) aside.emplace(m.s);
    py::dict out;
    try {
        const int k = QN_measure_find(method);
        bool known = false;
        for (const char* name : kStructureMethods) known = known || method == name;
        if (k >= 0) {
            Model* ref = nullptr;
            if (!reference.is_none()) {
                if (!py::isinstance<Model>(reference)) value_error("reference must be a quelm.Model");
                ref = &reference.cast<Model&>();
            }
            measure(m, k, threads, settings, ref, progress, out);
        } else if (known) {
            structure(m, method, threads, settings, progress, out);
        } else if (!engine_analysis(m, method, reference, settings, progress, out)) {
            value_error("Unknown method '" + method +
                        "' (cna, baa, cnp, csp, lco, oim; dva, sta, dda, sva, ida, nye, nta; rdf, coordination, "
                        "steinhardt, voronoi, clusters, defects)");
        }
    } catch (...) {
        if (aside) aside->restore(m.s);
        throw;
    }
    if (aside) aside->restore(m.s);
    return out;
}

// Adds (or replaces) the double column name with values, one per atom.
void set_column(Model& m, const std::string& name, py::array_t<double, py::array::c_style | py::array::forcecast> v) {
    if (v.ndim() != 1 || v.shape(0) != m.s.natoms)
        throw py::value_error("a column needs one value per atom (" + std::to_string(m.s.natoms) + ")");
    if (QB_slot_get(&m.s, name.c_str()) < 0 && QB_add_exdouble(&m.s, name.c_str()) < 0)
        throw py::value_error("the column " + name + " cannot be added");
    const int slot = QB_slot_get(&m.s, name.c_str());
    if (slot < 5) throw py::value_error(name + " is not a column of its own");
    for (int i = 0; i < m.s.natoms; i++) QB_slot_save(&m.s, slot, i, v.at(i));
}

py::object to_ase(py::object self) {
    Model& m = self.cast<Model&>();
    py::module_ ase = py::module_::import("ase");
    py::list symbols;
    bool named = true;
    for (int i = 0; i < m.s.natoms; i++) {
        const int t = m.s.atoms[static_cast<size_t>(i)].type;
        if (!QB_has_elename(&m.s, t - 1)) named = false;
    }
    double c[3][3], o[3];
    box_of(m.s, c, o);
    py::array_t<double> cell({3, 3});
    for (int d = 0; d < 3; d++)
        for (int k = 0; k < 3; k++) cell.mutable_at(d, k) = c[d][k];
    py::array_t<double> pos({py::ssize_t(m.s.natoms), py::ssize_t(3)});
    for (int i = 0; i < m.s.natoms; i++) {
        const atomdata& a = m.s.atoms[static_cast<size_t>(i)];
        pos.mutable_at(i, 0) = a.x - o[0];
        pos.mutable_at(i, 1) = a.y - o[1];
        pos.mutable_at(i, 2) = a.z - o[2];
    }
    py::object atoms;
    if (named) {
        for (int i = 0; i < m.s.natoms; i++) symbols.append(QB_elename(&m.s, m.s.atoms[static_cast<size_t>(i)].type - 1));
        atoms = ase.attr("Atoms")(py::arg("symbols") = symbols, py::arg("positions") = pos, py::arg("cell") = cell,
                                  py::arg("pbc") = py::cast(std::vector<bool>{m.s.periodic[0] != 0, m.s.periodic[1] != 0,
                                                                              m.s.periodic[2] != 0}));
    } else {
        // Without element names the types stand as atomic numbers.
        py::list numbers;
        for (int i = 0; i < m.s.natoms; i++) numbers.append(m.s.atoms[static_cast<size_t>(i)].type);
        atoms = ase.attr("Atoms")(py::arg("numbers") = numbers, py::arg("positions") = pos, py::arg("cell") = cell,
                                  py::arg("pbc") = py::cast(std::vector<bool>{m.s.periodic[0] != 0, m.s.periodic[1] != 0,
                                                                              m.s.periodic[2] != 0}));
    }
    py::dict columns = columns_of(self);
    for (auto item : columns) atoms.attr("set_array")(item.first, py::array(py::reinterpret_borrow<py::array>(item.second)).attr("copy")());
    atoms.attr("set_array")("type", field_of<int32_t>(self, offsetof(atomdata, type)).attr("copy")());
    atoms.attr("set_array")("id", field_of<int32_t>(self, offsetof(atomdata, id)).attr("copy")());
    return atoms;
}

Model from_ase(py::object atoms) {
    py::array_t<double> pos = atoms.attr("get_positions")().cast<py::array_t<double>>();
    py::array_t<double> cell = atoms.attr("cell").attr("array").cast<py::array_t<double>>();
    const std::vector<bool> pbc = atoms.attr("pbc").attr("tolist")().cast<std::vector<bool>>();
    const std::vector<std::string> symbols = atoms.attr("get_chemical_symbols")().cast<std::vector<std::string>>();
    py::dict arrays = atoms.attr("arrays");
    // Types: the type column when the atoms carry one, else the symbols in order of appearance.
    std::vector<std::string> elements;
    std::vector<int> types(symbols.size());
    if (arrays.contains("type")) {
        types = arrays["type"].cast<std::vector<int>>();
        int T = 0;
        for (int t : types) T = std::max(T, t);
        elements.assign(static_cast<size_t>(T), "");
        for (size_t i = 0; i < types.size(); i++)
            if (types[i] >= 1) elements[static_cast<size_t>(types[i] - 1)] = symbols[i];
    } else {
        for (size_t i = 0; i < symbols.size(); i++) {
            auto at = std::find(elements.begin(), elements.end(), symbols[i]);
            if (at == elements.end()) at = elements.insert(elements.end(), symbols[i]);
            types[i] = static_cast<int>(at - elements.begin()) + 1;
        }
    }
    py::object ids = arrays.contains("id") ? py::object(arrays["id"]) : py::object(py::none());
    Model m = make_model(pos, py::cast(types), cell, py::none(), py::cast(pbc), ids,
                         std::find(elements.begin(), elements.end(), "") == elements.end() ? py::cast(elements)
                                                                                            : py::object(py::none()));
    for (auto item : arrays) {
        const std::string name = py::str(item.first);
        if (name == "numbers" || name == "positions" || name == "type" || name == "id") continue;
        py::array a = py::reinterpret_borrow<py::array>(item.second);
        if (a.ndim() != 1) continue;  // vectors per atom (momenta, forces) are left out
        set_column(m, name, a.cast<py::array_t<double, py::array::c_style | py::array::forcecast>>());
    }
    return m;
}

// The frames of a multi-frame file, or the files of the numbered series a
// path belongs to, read one at a time.
class Frames {
public:
    explicit Frames(const std::string& path) {
        std::string reason;
        const int found = frames_.open(path, &reason);
        if (found < 0) os_error("Reading file failed\n" + (reason.empty() ? path : reason));
        if (found == 1 && frames_.count() > 1) {
            count_ = frames_.count();
            return;
        }
        files_ = QN_series_of(path);
        if (files_.empty()) files_ = {path};
        count_ = static_cast<int>(files_.size());
    }
    int size() const { return count_; }
    Model next() {
        if (k_ >= count_) throw py::stop_iteration();
        const int k = k_++;
        if (files_.empty()) {
            Model m;
            std::string reason, text;
            int code = 0;
            run_long(py::none(), [&] { code = frames_.read(k, &m.s, &reason); });
            if (QN_read_report(code, &m.s, text, reason) != 1) os_error(text.empty() ? "Reading file failed" : text);
            return m;
        }
        return read_file(files_[static_cast<size_t>(k)], py::none(), py::none());
    }

private:
    QB_frames frames_;
    std::vector<std::string> files_;
    int count_ = 0, k_ = 0;
};

}  // namespace
}  // namespace qpy

PYBIND11_MODULE(_core, mod) {
    using namespace qpy;
    mod.doc() = "The compiled core of the package quelm (use quelm, not quelm._core).";
    py::class_<Model>(mod, "Model", R"(An atomic model: atoms in a box with named per-atom columns.

positions, types and ids are views of the model's memory (positions an N x 3
view with a stride of one atom record); columns are views of each column.
A view keeps its model alive; writing through it changes the model.)")
        .def(py::init(&make_model), py::arg("positions"), py::arg("types"), py::arg("cell"),
             py::arg("origin") = py::none(), py::arg("pbc") = py::none(), py::arg("ids") = py::none(),
             py::arg("elements") = py::none(),
             "A model from N x 3 positions, N types (from 1) and a 3 x 3 cell (rows a, b, c); every argument checked.")
        .def("__len__", [](const Model& m) { return m.s.natoms; })
        .def_property_readonly("positions", [](py::object self) { return positions_of(self); },
                               "N x 3 positions (Å), a view")
        .def_property_readonly("types", [](py::object self) { return field_of<int32_t>(self, offsetof(atomdata, type)); },
                               "atom types from 1, a view")
        .def_property_readonly("ids", [](py::object self) { return field_of<int32_t>(self, offsetof(atomdata, id)); },
                               "atom ids, a view")
        .def_property_readonly("columns", [](py::object self) { return columns_of(self); },
                               "per-atom columns: name -> view")
        .def_property_readonly("cell", [](const Model& m) {
            double c[3][3], o[3];
            box_of(m.s, c, o);
            py::array_t<double> a({3, 3});
            auto w = a.mutable_unchecked<2>();
            for (int d = 0; d < 3; d++)
                for (int k = 0; k < 3; k++) w(d, k) = c[d][k];
            return a;
        }, "3 x 3, rows the box vectors (a copy)")
        .def_property_readonly("origin", [](const Model& m) {
            double c[3][3], o[3];
            box_of(m.s, c, o);
            return std::vector<double>{o[0], o[1], o[2]};
        }, "the box's lower corner (the cell's origin)")
        .def_property_readonly("pbc", [](const Model& m) {
            return std::vector<bool>{m.s.periodic[0] != 0, m.s.periodic[1] != 0, m.s.periodic[2] != 0};
        }, "periodic along a, b, c")
        .def_property_readonly("ntypes", [](const Model& m) { return m.s.ntypes; })
        .def_property_readonly("elements", [](const Model& m) {
            std::vector<std::string> names;
            for (int t = 1; t <= m.s.ntypes; t++) names.push_back(QB_has_elename(&m.s, t - 1) ? QB_elename(&m.s, t - 1) : "");
            return names;
        }, "the element name of each type ('' when unknown)")
        .def("set_column", &set_column, py::arg("name"), py::arg("values"), "Adds or replaces a double column.")
        .def("to_ase", &to_ase, "An ase.Atoms copy: cell, pbc, symbols (or the types as numbers), positions, columns.");
    mod.def("from_ase", &from_ase, py::arg("atoms"),
            "A model from ase.Atoms: cell, pbc, symbols as element names, positions, 1-D arrays as columns.");
    mod.def("read", &read_file, py::arg("path"), py::arg("frame") = py::none(), py::arg("progress") = py::none());
    py::class_<Frames>(mod, "Frames", "An iterator over frames, one model in memory at a time.")
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", &Frames::next)
        .def("__len__", &Frames::size);
    mod.def("frames", [](const std::string& path) { return Frames(path); }, py::arg("path"));
    mod.def("write", &write_file, py::arg("model"), py::arg("path"), py::arg("format") = py::none());
    mod.def("analyse", &analyse, py::arg("model"), py::arg("method"), py::arg("threads"), py::arg("reference"),
            py::arg("add_columns"), py::arg("progress"), py::arg("settings"));
    bind_making(mod);
}
