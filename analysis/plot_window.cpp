#include "analysis/plot_window.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Image.H>
#include <FL/Fl_Native_File_Chooser.H>
#include <FL/Fl_Value_Input.H>
#include <cairo.h>

#include <memory>
#include <string>
#include <vector>

#include "analysis/measure_driver.h"
#include "analysis/measure_plots.h"
#include "analysis/morla_driver.h"
#include "analysis/morla_summary.h"
#include "app/quelm_bind.h"
#include "app/quelm_dialogs.h"
#include "app/quelm_shell.h"
#include "qb/qb_frames.h"
#include "qb/qb_text.h"
#include "store/quelm_resources.h"
#include "view/plot.h"
#include "view/view_core.h"

namespace {

// A box that shows a plot drawn by Cairo at the box's size, drawn again
// when the size changes.
class PlotBox : public Fl_Box {
public:
    PlotBox(int x, int y, int w, int h) : Fl_Box(x, y, w, h) { box(FL_FLAT_BOX); color(FL_WHITE); }
    void show_plot(const QN_plot& p) {
        plot_ = p;
        drawn_w_ = drawn_h_ = 0;
        redraw();
    }
    const QN_plot& plot() const { return plot_; }

protected:
    void draw() override {
        if (w() != drawn_w_ || h() != drawn_h_) render();
        if (image_) image_->draw(x(), y());
        else Fl_Box::draw();
    }

private:
    QN_plot plot_;
    std::unique_ptr<Fl_RGB_Image> image_;
    std::vector<unsigned char> pixels_;
    int drawn_w_ = 0, drawn_h_ = 0;

    void render() {
        drawn_w_ = w();
        drawn_h_ = h();
        image_.reset();
        if (w() < 10 || h() < 10) return;
        cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w(), h());
        cairo_t* cr = cairo_create(s);
        QN_plot_draw(plot_, cr, w(), h());
        cairo_destroy(cr);
        cairo_surface_flush(s);
        const unsigned char* data = cairo_image_surface_get_data(s);
        const int stride = cairo_image_surface_get_stride(s);
        pixels_.resize(static_cast<size_t>(w()) * h() * 3);
        for (int y = 0; y < h(); y++)
            for (int x = 0; x < w(); x++) {
                const uint32_t p = *reinterpret_cast<const uint32_t*>(data + static_cast<size_t>(y) * stride + 4 * x);
                unsigned char* out = &pixels_[(static_cast<size_t>(y) * w() + x) * 3];
                out[0] = static_cast<unsigned char>(p >> 16);
                out[1] = static_cast<unsigned char>(p >> 8);
                out[2] = static_cast<unsigned char>(p);
            }
        cairo_surface_destroy(s);
        image_ = std::make_unique<Fl_RGB_Image>(pixels_.data(), w(), h(), 3);
    }
};

Fl_Double_Window* window = nullptr;
PlotBox* shown = nullptr;
Fl_Choice* column_choice = nullptr;
Fl_Value_Input* bins_input = nullptr;
Fl_Value_Input* min_input = nullptr;
Fl_Value_Input* max_input = nullptr;
Fl_Choice* value_choice = nullptr;
QN_measure_series last_series;
const QN_plot empty_plot;

// A name as a menu item shows it whole: '/', '&', '\\' and a leading '_' escaped.
std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '/' || c == '&' || c == '\\' || (c == '_' && out.empty())) out += '\\';
        out += c;
    }
    return out;
}

const std::vector<unsigned>& colours() {
    static const std::vector<unsigned> c = [] {
        QN_atlas atlas;
        return QN_atlas_load(QN_resource_path("img/color.png").c_str(), &atlas) ? QN_plot_colours(atlas)
                                                                                : std::vector<unsigned>();
    }();
    return c;
}

void fill_columns() {
    if (!column_choice) return;
    const std::string before = column_choice->text() ? column_choice->text() : "";
    column_choice->clear();
    std::string name;
    int keep = -1;
    for (int slot = 1; slot < QB_slot_sum(&Current_Model); slot++) {
        QB_slot_name(&Current_Model, slot, name);
        column_choice->add(escaped(name).c_str());
        if (name == before) keep = slot - 1;
    }
    if (column_choice->size() > 1) column_choice->value(keep >= 0 ? keep : 0);
}

void save_cb() {
    std::string chosen;
    int filter = 0;
    if (!QN_choose_file("Save the plot", Fl_Native_File_Chooser::BROWSE_SAVE_FILE,
                        "PNG picture\t*.png\nSVG drawing\t*.svg\nPDF document\t*.pdf", chosen, &filter))
        return;
    const char* const ext[3] = {".png", ".svg", ".pdf"};
    const std::string e = ext[filter >= 0 && filter < 3 ? filter : 0];
    if (chosen.size() < 4 || chosen.compare(chosen.size() - 4, 4, e) != 0) chosen += e;
    std::string message;
    if (QN_plot_window_save(chosen, &message) == 1)
        QN_message(("Plot written to " + chosen).c_str());
    else
        QN_message_alert(message.c_str());
}

void value_cb() {
    if (!value_choice || value_choice->value() < 0) return;
    const std::string name = last_series.names[static_cast<size_t>(value_choice->value())];
    QN_plot_window_show(QN_measure_series_plot(last_series, {name}));
}

void build() {
    window = new Fl_Double_Window(920, 600, "Plot");
    column_choice = new Fl_Choice(70, 8, 140, 28, "Column:");
    bins_input = new Fl_Value_Input(255, 8, 60, 28, "Bins");
    bins_input->value(50);
    bins_input->step(1);
    bins_input->range(1, QN_PLOT_MAX_BINS);
    min_input = new Fl_Value_Input(355, 8, 80, 28, "Min");
    max_input = new Fl_Value_Input(475, 8, 80, 28, "Max");
    min_input->tooltip("Min = Max: the column's own range");
    max_input->tooltip("Min = Max: the column's own range");
    auto* histogram = new Fl_Button(565, 8, 100, 28, "Histogram");
    histogram->tooltip("The histogram of the column over the model's atoms");
    histogram->callback([](Fl_Widget*, void*) {
        if (column_choice && column_choice->text()) QN_plot_window_histogram(column_choice->text());
    });
    auto* series = new Fl_Button(675, 8, 120, 28, "Over the series");
    series->tooltip("The analyses switched on in the Analysis tab over every file of the sequence bar");
    series->callback([](Fl_Widget*, void*) { QN_plot_window_series(); });
    auto* save = new Fl_Button(805, 8, 105, 28, "Save plot");
    save->tooltip("The plot as PNG, SVG or PDF, its data as TSV beside it");
    save->callback([](Fl_Widget*, void*) { save_cb(); });
    value_choice = new Fl_Choice(70, 562, 300, 28, "Value:");
    value_choice->tooltip("The number shown over the series");
    value_choice->callback([](Fl_Widget*, void*) { value_cb(); });
    value_choice->hide();
    shown = new PlotBox(10, 44, 900, 510);
    window->resizable(shown);
    window->size_range(600, 400);
    window->end();
}

void ensure() {
    if (!window) build();
    fill_columns();
    if (!window->shown()) window->show();
}

}  // namespace

Fl_Double_Window* QN_plot_window() { return window; }
const QN_plot& QN_plot_window_plot() { return shown ? shown->plot() : empty_plot; }

void QN_plot_window_show(const QN_plot& plot) {
    ensure();
    if (value_choice && plot.title != "Over the series") value_choice->hide();
    shown->show_plot(plot);
    window->redraw();
}

bool QN_plot_window_histogram(const std::string& column) {
    ensure();
    QN_plot plot;
    std::string message;
    const int bins = static_cast<int>(bins_input->value());
    if (!QN_measure_histogram(&Current_Model, column, bins, min_input->value(), max_input->value(), colours(), &plot,
                              &message)) {
        QN_message_alert(message.c_str());
        return false;
    }
    QN_plot_window_show(plot);
    return true;
}

void QN_plot_window_open() {
    ensure();
    if (column_choice->size() > 1 && column_choice->text()) QN_plot_window_histogram(column_choice->text());
}

bool QN_plot_window_series() {
    const std::vector<std::pair<std::string, int>> files = QN_file_series();
    if (files.size() < 2) {
        QN_message_alert("Please import a series of files (or a dump of several frames) first");
        return false;
    }
    QN_measure_series series;
    QN_wait("Analysing the series");
    for (size_t f = 0; f < files.size(); f++) {
        QB_tools m;
        std::string reason;
        if (QB_read_frame(&m, files[f].first.c_str(), std::max(files[f].second, 0), &reason) <= 0) {
            QN_wait_end();
            QN_message_alert(("Reading file failed\n" + files[f].first + (reason.empty() ? "" : "\n" + reason)).c_str());
            return false;
        }
        std::vector<std::pair<std::string, double>> values;
        std::string note;
        if (QN_MORLA_compute(&m, 0, &note) < 0) {
            QN_wait_end();
            QN_message_alert(note.c_str());
            return false;
        }
        const std::vector<std::string> columns = QN_MORLA_active_columns();
        values = QN_measure_class_counts(QN_MORLA_summary(&m, &columns), columns);
        for (int k = 0; k < QN_M_COUNT; k++) {
            if (!QN_measure_active(k)) continue;
            QN_measure_output out;
            if (QN_measure_run(&m, k, &out) != 1) {
                QN_wait_end();
                QN_message_alert((files[f].first + ": " + out.message).c_str());
                return false;
            }
            values.insert(values.end(), out.values.begin(), out.values.end());
        }
        series.add(static_cast<double>(f), values);
        QN_wait_update(100.0 * static_cast<double>(f + 1) / files.size());
    }
    QN_wait_end();
    if (series.names.empty()) {
        QN_message_alert("Please switch on an analysis in the Analysis tab first");
        return false;
    }
    last_series = series;
    ensure();
    value_choice->clear();
    for (const std::string& n : series.names) value_choice->add(escaped(n).c_str());
    value_choice->value(0);
    value_choice->show();
    value_cb();
    QN_message(QB_format("%d files analysed: %s ...", static_cast<int>(files.size()), series.names[0].c_str()).c_str());
    return true;
}

int QN_plot_window_save(const std::string& path, std::string* message) {
    const QN_plot& plot = QN_plot_window_plot();
    const std::string data = QN_plot_data_path(path);
    const int w = shown ? std::max(shown->w(), QN_PLOT_MIN_SIDE) : 800, h = shown ? std::max(shown->h(), QN_PLOT_MIN_SIDE) : 500;
    return QN_plot_write_with_table(plot, path, w, h, data, message);
}
