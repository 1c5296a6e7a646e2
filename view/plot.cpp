#include "view/plot.h"

#include <cairo-pdf.h>
#include <cairo-svg.h>
#include <cairo.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "qb/qb_file.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kPi = 3.14159265358979323846;

// Series colours (Okabe and Ito's set, which reads for colour-blind eyes and
// in grey print), yellow last as it is faint on white.
constexpr unsigned kPalette[] = {0x0072B2, 0xD55E00, 0x009E73, 0xCC79A7, 0xE69F00, 0x56B4E9, 0x000000, 0xF0E442};
constexpr int kPaletteSize = sizeof(kPalette) / sizeof(kPalette[0]);

void set_colour(cairo_t* cr, unsigned c, double shade = 1) {
    cairo_set_source_rgb(cr, ((c >> 16) & 255) / 255.0 * shade, ((c >> 8) & 255) / 255.0 * shade,
                         (c & 255) / 255.0 * shade);
}

// Cairo refuses a text that is not UTF-8 (and then draws nothing more):
// bytes that do not form UTF-8, and control characters, become '?' / ' '.
std::string clean_utf8(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        int n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        bool ok = n > 0 && i + n <= s.size();
        for (int k = 1; ok && k < n; k++) ok = (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
        if (ok && n == 2) ok = c >= 0xC2;  // no overlong forms
        if (!ok) {
            out += '?';
            i++;
            continue;
        }
        if (n == 1 && (c < 0x20 || c == 0x7F)) out += ' ';
        else out.append(s, i, static_cast<size_t>(n));
        i += static_cast<size_t>(n);
    }
    return out;
}

std::string fixed(double v, int decimals) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
    return r.ec == std::errc() ? std::string(buf, r.ptr) : std::string("?");
}

// ---- Drawing

// A text as drawn: where its baseline starts and whether it is turned to
// read upwards (for the SVG's text layer).
struct Placed_text {
    std::string text;
    double x, y, size;
    bool turned;
};

struct Painter {
    cairo_t* cr;
    std::vector<Placed_text>* record;

    double advance(const std::string& s, double size) const {
        cairo_set_font_size(cr, size);
        cairo_text_extents_t te;
        cairo_text_extents(cr, s.c_str(), &te);
        return te.x_advance;
    }
    // Height of a line of text of this size (ascent + descent).
    double line(double size) const {
        cairo_set_font_size(cr, size);
        cairo_font_extents_t fe;
        cairo_font_extents(cr, &fe);
        return fe.ascent + fe.descent;
    }
    // Draws s at (x, y): along the text h = 0 starts, 0.5 centres, 1 ends it
    // there; across it v = 't' puts the top of the line there, 'm' the middle
    // of its digits, 'b' the baseline. Turned texts read upwards.
    void text(const std::string& raw, double x, double y, double size, double h, char v, bool turned = false) {
        const std::string s = clean_utf8(raw);
        if (s.empty()) return;
        cairo_set_font_size(cr, size);
        cairo_font_extents_t fe;
        cairo_font_extents(cr, &fe);
        const double along = -h * advance(s, size);
        const double across = v == 't' ? fe.ascent : v == 'm' ? 0.36 * size : 0;
        cairo_save(cr);
        cairo_translate(cr, x, y);
        if (turned) cairo_rotate(cr, -kPi / 2);
        cairo_move_to(cr, along, across);
        cairo_show_text(cr, s.c_str());
        cairo_restore(cr);
        // The turn maps (a, b) to (b, -a).
        if (record) record->push_back({s, turned ? x + across : x + along, turned ? y - along : y + across, size, turned});
    }
};

// The data's extent along one axis.
struct Extent {
    double lo = std::numeric_limits<double>::infinity(), hi = -std::numeric_limits<double>::infinity();
    void add(double v) {
        if (!std::isfinite(v)) return;
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    bool empty() const { return lo > hi; }
};

// 1, 2 or 5 x 10^k, the smallest not below raw.
double nice_step(double raw) {
    if (!(raw > 0) || !std::isfinite(raw)) return 1;
    const double p = std::pow(10.0, std::floor(std::log10(raw)));
    const double f = raw / p;
    return (f <= 1 + 1e-9 ? 1 : f <= 2 + 1e-9 ? 2 : f <= 5 + 1e-9 ? 5 : 10) * p;
}

struct Axis {
    double lo = 0, hi = 1, step = 1;
    std::vector<double> ticks;
    double map(double v, double p0, double p1) const { return p0 + (v - lo) / (hi - lo) * (p1 - p0); }
};

// Ticks at multiples of a nice step, about `target` of them over [lo, hi];
// a range from the data is widened to whole steps.
Axis make_axis(double lo, double hi, bool widen, int target) {
    Axis a;
    a.lo = lo;
    a.hi = hi;
    a.step = nice_step((hi - lo) / std::max(target, 1));
    if (widen) {
        a.lo = std::floor(lo / a.step + 1e-9) * a.step;
        a.hi = std::ceil(hi / a.step - 1e-9) * a.step;
        if (!(a.hi > a.lo)) a.hi = a.lo + a.step;
    }
    const double first = std::ceil(a.lo / a.step - 1e-9), last = std::floor(a.hi / a.step + 1e-9);
    if (std::isfinite(first) && std::isfinite(last) && last - first < 1000)
        for (double k = first; k <= last; k++) a.ticks.push_back(k * a.step);
    return a;
}

std::string tick_label(double v, const Axis& a) {
    if (std::fabs(v) < a.step * 1e-6) v = 0;
    const double top = std::max(std::fabs(a.lo), std::fabs(a.hi));
    if (top >= 1e7 || a.step < 1e-4) return QN_plot_number(v, 6);
    return fixed(v, std::max(0, static_cast<int>(-std::floor(std::log10(a.step) + 1e-9))));
}

// The axis range: the plot's own when it gives one, else the data's
// (padded on the y axis; bars stand on 0).
void data_range(const QN_plot& plot, bool y_axis, double& lo, double& hi, bool& widen) {
    const double set_lo = y_axis ? plot.y_min : plot.x_min, set_hi = y_axis ? plot.y_max : plot.x_max;
    if (set_lo != set_hi && std::isfinite(set_lo) && std::isfinite(set_hi)) {
        lo = std::min(set_lo, set_hi);
        hi = std::max(set_lo, set_hi);
        widen = false;
        return;
    }
    widen = true;
    Extent e;
    bool bars = false;
    for (const QN_plot_series& s : plot.series) {
        if (s.kind == QN_plot_series::Bars) {
            for (size_t k = 0; k < s.y.size() && k + 1 < s.x.size(); k++) {
                if (!std::isfinite(s.y[k]) || !std::isfinite(s.x[k]) || !std::isfinite(s.x[k + 1])) continue;
                bars = true;
                if (y_axis) {
                    e.add(s.y[k]);
                    e.add(0);
                } else {
                    e.add(s.x[k]);
                    e.add(s.x[k + 1]);
                }
            }
        } else {
            for (size_t k = 0; k < s.x.size() && k < s.y.size(); k++)
                if (std::isfinite(s.x[k]) && std::isfinite(s.y[k])) e.add(y_axis ? s.y[k] : s.x[k]);
        }
    }
    if (e.empty()) {
        lo = 0;
        hi = 1;
        return;
    }
    lo = e.lo;
    hi = e.hi;
    if (lo == hi) {
        const double d = lo == 0 ? 1 : std::fabs(lo) * 0.1;
        lo -= d;
        hi += d;
        return;
    }
    if (y_axis) {
        const double pad = 0.04 * (hi - lo);
        if (!(bars && lo == 0) && lo != 0) lo -= pad;
        if (!(bars && hi == 0)) hi += pad;
    }
}

void draw_plot(const QN_plot& plot, cairo_t* cr, int w, int h, std::vector<Placed_text>* record) {
    cairo_save(cr);
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
    cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_SLIGHT);
    // The same layout in a PNG as in the PDF of the same size.
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
    cairo_set_font_options(cr, options);
    cairo_font_options_destroy(options);
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_GRAY);
    cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    Painter paint{cr, record};

    cairo_rectangle(cr, 0, 0, w, h);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_fill(cr);

    const double f = std::clamp(std::min(w / 800.0, h / 500.0), 0.6, 4.0);
    const double tick_size = 13 * f, label_size = 15 * f, title_size = 17 * f, legend_size = 12.5 * f;
    const double pad = 12 * f, tick_len = 5 * f, gap = 4 * f, line_width = f;
    const double tick_h = paint.line(tick_size), label_h = paint.line(label_size), title_h = paint.line(title_size);
    const bool has_title = !plot.title.empty(), has_x_label = !plot.x_label.empty(),
               has_y_label = !plot.y_label.empty();

    const double top = pad + (has_title ? title_h + 8 * f : tick_h / 2);
    const double bottom = pad + tick_len + gap + tick_h + (has_x_label ? 6 * f + label_h : 0);
    const double plot_h = std::max(1.0, h - top - bottom);

    double ylo, yhi, xlo, xhi;
    bool ywiden, unused;
    data_range(plot, true, ylo, yhi, ywiden);
    data_range(plot, false, xlo, xhi, unused);
    // The y axis ends on ticks; the x axis spans the data (bars fill the frame).
    const Axis ya = make_axis(ylo, yhi, ywiden, std::clamp(static_cast<int>(plot_h / (60 * f)), 2, 10));
    std::vector<std::string> ylabels;
    double ylabel_w = 0;
    for (double t : ya.ticks) {
        ylabels.push_back(tick_label(t, ya));
        ylabel_w = std::max(ylabel_w, paint.advance(ylabels.back(), tick_size));
    }
    const double left = pad + (has_y_label ? label_h + 8 * f : 0) + ylabel_w + gap + tick_len;

    // The x ticks: as many as fit with room between their labels; the right
    // margin leaves room for half the last label.
    double right = pad;
    Axis xa;
    std::vector<std::string> xlabels;
    for (int round = 0; round < 2; round++) {
        const double plot_w = std::max(1.0, w - left - right);
        int target = std::clamp(static_cast<int>(plot_w / (100 * f)), 2, 10);
        for (int tries = 0; tries < 8; tries++) {
            xa = make_axis(xlo, xhi, false, target);
            xlabels.clear();
            double widest = 0;
            for (double t : xa.ticks) {
                xlabels.push_back(tick_label(t, xa));
                widest = std::max(widest, paint.advance(xlabels.back(), tick_size));
            }
            if (target <= 2 || (widest + 14 * f) * xlabels.size() <= plot_w) break;
            target--;
        }
        double overhang = 0;
        if (!xa.ticks.empty() && std::fabs(xa.ticks.back() - xa.hi) <= 1e-9 * (xa.hi - xa.lo))
            overhang = paint.advance(xlabels.back(), tick_size) / 2 + 2 * f;
        const double wanted = std::max(pad, overhang);
        if (std::fabs(wanted - right) < 0.5) break;
        right = wanted;
    }

    // The frame on whole pixels, so that its lines stay sharp in a PNG.
    const double x0 = std::round(left), x1 = std::round(std::max(left + 1, w - right));
    const double y0 = std::round(top), y1 = std::round(std::max(top + 1, top + plot_h));
    auto px = [&](double v) { return xa.map(v, x0, x1); };
    auto py = [&](double v) { return ya.map(v, y1, y0); };

    // The data, inside the frame.
    cairo_save(cr);
    cairo_rectangle(cr, x0, y0, x1 - x0, y1 - y0);
    cairo_clip(cr);
    const double base = py(std::clamp(0.0, ya.lo, ya.hi));
    for (size_t n = 0; n < plot.series.size(); n++) {
        const QN_plot_series& s = plot.series[n];
        const unsigned colour = kPalette[n % kPaletteSize];
        if (s.kind == QN_plot_series::Bars) {
            const bool own = s.bar_colours.size() == s.y.size();
            for (size_t k = 0; k < s.y.size() && k + 1 < s.x.size(); k++) {
                if (!std::isfinite(s.y[k]) || !std::isfinite(s.x[k]) || !std::isfinite(s.x[k + 1])) continue;
                const double a = px(s.x[k]), b = px(s.x[k + 1]), t = py(s.y[k]);
                if (t == base) continue;  // an empty bin
                cairo_rectangle(cr, std::min(a, b), std::min(t, base), std::fabs(b - a), std::fabs(t - base));
                const unsigned c = own ? s.bar_colours[k] : colour;
                set_colour(cr, c);
                if (std::fabs(b - a) >= 4 * f) {
                    cairo_fill_preserve(cr);
                    set_colour(cr, c, 0.6);
                    cairo_set_line_width(cr, 0.8 * f);
                    cairo_stroke(cr);
                } else {
                    cairo_fill(cr);
                }
            }
        } else if (s.kind == QN_plot_series::Line) {
            set_colour(cr, colour);
            cairo_set_line_width(cr, 1.6 * f);
            cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
            cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
            bool open = false;
            for (size_t k = 0; k < s.x.size() && k < s.y.size(); k++) {
                if (!std::isfinite(s.x[k]) || !std::isfinite(s.y[k])) {
                    open = false;
                    continue;
                }
                if (open) cairo_line_to(cr, px(s.x[k]), py(s.y[k]));
                else cairo_move_to(cr, px(s.x[k]), py(s.y[k]));
                open = true;
            }
            cairo_stroke(cr);
        } else {
            set_colour(cr, colour);
            for (size_t k = 0; k < s.x.size() && k < s.y.size(); k++) {
                if (!std::isfinite(s.x[k]) || !std::isfinite(s.y[k])) continue;
                cairo_new_sub_path(cr);
                cairo_arc(cr, px(s.x[k]), py(s.y[k]), 2.8 * f, 0, 2 * kPi);
            }
            cairo_fill(cr);
        }
    }
    cairo_restore(cr);

    // Frame, ticks and their labels.
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_set_line_width(cr, line_width);
    const double half = std::fmod(std::round(line_width), 2.0) == 1 ? 0.5 : 0;
    cairo_rectangle(cr, x0 + half, y0 + half, x1 - x0 - 2 * half, y1 - y0 - 2 * half);
    cairo_stroke(cr);
    for (size_t k = 0; k < xa.ticks.size(); k++) {
        const double x = px(xa.ticks[k]);
        cairo_move_to(cr, x, y1);
        cairo_line_to(cr, x, y1 + tick_len);
        cairo_stroke(cr);
        paint.text(xlabels[k], x, y1 + tick_len + gap, tick_size, 0.5, 't');
    }
    for (size_t k = 0; k < ya.ticks.size(); k++) {
        const double y = py(ya.ticks[k]);
        cairo_move_to(cr, x0, y);
        cairo_line_to(cr, x0 - tick_len, y);
        cairo_stroke(cr);
        paint.text(ylabels[k], x0 - tick_len - gap, y, tick_size, 1, 'm');
    }

    // Titles.
    if (has_title) paint.text(plot.title, (x0 + x1) / 2, pad, title_size, 0.5, 't');
    if (has_x_label)
        paint.text(plot.x_label, (x0 + x1) / 2, y1 + tick_len + gap + tick_h + 6 * f, label_size, 0.5, 't');
    if (has_y_label) paint.text(plot.y_label, pad, (y0 + y1) / 2, label_size, 0.5, 't', true);

    // Legend, when more than one series has a name.
    std::vector<size_t> named;
    for (size_t n = 0; n < plot.series.size(); n++)
        if (!plot.series[n].name.empty()) named.push_back(n);
    if (named.size() > 1) {
        const double row = 1.4 * legend_size, sample = 22 * f, inner = 7 * f;
        double widest = 0;
        for (size_t n : named) widest = std::max(widest, paint.advance(clean_utf8(plot.series[n].name), legend_size));
        const double bw = inner * 3 + sample + widest, bh = inner * 2 + row * named.size();
        const double bx = x1 - 8 * f - bw, by = y0 + 8 * f;
        cairo_rectangle(cr, bx, by, bw, bh);
        cairo_set_source_rgba(cr, 1, 1, 1, 0.9);
        cairo_fill_preserve(cr);
        cairo_set_source_rgb(cr, 0.6, 0.6, 0.6);
        cairo_set_line_width(cr, 0.8 * f);
        cairo_stroke(cr);
        for (size_t r = 0; r < named.size(); r++) {
            const QN_plot_series& s = plot.series[named[r]];
            const double cy = by + inner + row * (r + 0.5), sx = bx + inner;
            set_colour(cr, kPalette[named[r] % kPaletteSize]);
            if (s.kind == QN_plot_series::Line) {
                cairo_set_line_width(cr, 1.6 * f);
                cairo_move_to(cr, sx, cy);
                cairo_line_to(cr, sx + sample, cy);
                cairo_stroke(cr);
            } else if (s.kind == QN_plot_series::Points) {
                cairo_arc(cr, sx + sample / 2, cy, 2.8 * f, 0, 2 * kPi);
                cairo_fill(cr);
            } else {
                cairo_rectangle(cr, sx + sample / 2 - legend_size * 0.4, cy - legend_size * 0.4, legend_size * 0.8,
                                legend_size * 0.8);
                cairo_fill(cr);
            }
            cairo_set_source_rgb(cr, 0, 0, 0);
            paint.text(s.name, sx + sample + inner, cy, legend_size, 0, 'm');
        }
    }
    cairo_restore(cr);
}

// ---- Files

enum class Format { Png, Svg, Pdf, Unknown };

Format format_of(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return Format::Unknown;
    std::string ext = path.substr(dot + 1);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext == "png" ? Format::Png : ext == "svg" ? Format::Svg : ext == "pdf" ? Format::Pdf : Format::Unknown;
}

cairo_status_t append_bytes(void* closure, const unsigned char* data, unsigned int length) {
    static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
    return CAIRO_STATUS_SUCCESS;
}

std::string xml_escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            default: out += c;
        }
    }
    return out;
}

// The plot's texts as text in the SVG Cairo wrote: a <title>, a <desc> and
// an invisible text layer over the glyphs.
void add_svg_texts(std::string& svg, const QN_plot& plot, const std::vector<Placed_text>& texts) {
    const size_t open = svg.find("<svg");
    const size_t open_end = open == std::string::npos ? open : svg.find('>', open);
    const size_t close = svg.rfind("</svg>");
    if (open_end == std::string::npos || close == std::string::npos || close < open_end) return;
    std::string layer = "<g id=\"texts\" fill=\"#000000\" fill-opacity=\"0\" stroke=\"none\" "
                        "font-family=\"DejaVu Sans\">\n";
    for (const Placed_text& t : texts) {
        const std::string x = fixed(t.x, 2), y = fixed(t.y, 2);
        layer += "<text x=\"" + x + "\" y=\"" + y + "\" font-size=\"" + fixed(t.size, 2) + "\"";
        if (t.turned) layer += " transform=\"rotate(-90 " + x + " " + y + ")\"";
        layer += ">" + xml_escape(t.text) + "</text>\n";
    }
    layer += "</g>\n";
    svg.insert(close, layer);
    std::string head = "\n";
    if (!plot.title.empty()) head += "<title>" + xml_escape(clean_utf8(plot.title)) + "</title>\n";
    std::string desc;
    if (!plot.x_label.empty()) desc += "x axis: " + plot.x_label;
    if (!plot.y_label.empty()) desc += std::string(desc.empty() ? "" : "; ") + "y axis: " + plot.y_label;
    if (!desc.empty()) head += "<desc>" + xml_escape(clean_utf8(desc)) + "</desc>\n";
    svg.insert(open_end + 1, head);
}

// The file's bytes; false with the reason.
bool render(const QN_plot& plot, Format format, int w, int h, std::string& bytes, std::string& why) {
    bytes.clear();
    cairo_surface_t* surface = nullptr;
    if (format == Format::Png) surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h);
    else if (format == Format::Svg) surface = cairo_svg_surface_create_for_stream(append_bytes, &bytes, w, h);
    else surface = cairo_pdf_surface_create_for_stream(append_bytes, &bytes, w, h);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        why = std::string("cannot make the picture: ") + cairo_status_to_string(cairo_surface_status(surface));
        cairo_surface_destroy(surface);
        return false;
    }
    if (format == Format::Svg) cairo_svg_surface_restrict_to_version(surface, CAIRO_SVG_VERSION_1_1);
    if (format == Format::Pdf) {
        if (!plot.title.empty())
            cairo_pdf_surface_set_metadata(surface, CAIRO_PDF_METADATA_TITLE, clean_utf8(plot.title).c_str());
        cairo_pdf_surface_set_metadata(surface, CAIRO_PDF_METADATA_CREATOR, "Quelm Visualizer");
    }
    std::vector<Placed_text> texts;
    cairo_t* cr = cairo_create(surface);
    draw_plot(plot, cr, w, h, &texts);
    cairo_status_t status = cairo_status(cr);
    cairo_destroy(cr);
    if (status == CAIRO_STATUS_SUCCESS) {
        if (format == Format::Png) {
            cairo_surface_flush(surface);
            status = cairo_surface_write_to_png_stream(surface, append_bytes, &bytes);
        } else {
            cairo_surface_finish(surface);
            status = cairo_surface_status(surface);
        }
    }
    cairo_surface_destroy(surface);
    if (status != CAIRO_STATUS_SUCCESS) {
        why = std::string("cannot draw the picture: ") + cairo_status_to_string(status);
        return false;
    }
    if (format == Format::Svg) add_svg_texts(bytes, plot, texts);
    return true;
}

bool is_folder(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string cannot_write(const std::string& path, int error) {
    return "cannot write " + path + ": " + std::strerror(error ? error : EIO);
}

}  // namespace

std::string QN_plot_number(double v, int digits) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, std::clamp(digits, 1, 17));
    return r.ec == std::errc() ? std::string(buf, r.ptr) : std::string("nan");
}

QN_plot QN_plot_histogram(const std::vector<double>& values, int bins, double lo, double hi,
                          const std::string& column, const std::vector<unsigned>& colours) {
    QN_plot plot;
    plot.title = "Histogram of " + column;
    plot.x_label = column;
    plot.y_label = "Atoms";
    if (bins < 1 || bins > QN_PLOT_MAX_BINS) return plot;
    if (!std::isfinite(lo) || !std::isfinite(hi)) lo = hi = 0;
    if (lo > hi) std::swap(lo, hi);
    if (lo == hi) {
        Extent e;
        for (double v : values) e.add(v);
        if (e.empty()) {
            lo = 0;
            hi = 1;
        } else if (e.lo == e.hi) {
            lo = e.lo - 0.5;
            hi = e.hi + 0.5;
        } else {
            lo = e.lo;
            hi = e.hi;
        }
    }
    QN_plot_series s;
    s.kind = QN_plot_series::Bars;
    s.name = column;
    s.x.resize(static_cast<size_t>(bins) + 1);
    for (int k = 0; k <= bins; k++) s.x[static_cast<size_t>(k)] = k == bins ? hi : lo + (hi - lo) * k / bins;
    s.y.assign(static_cast<size_t>(bins), 0);
    for (double v : values) {
        if (!(v >= lo && v <= hi)) continue;
        const double at = (v - lo) / (hi - lo) * bins;
        const int k = std::clamp(static_cast<int>(at), 0, bins - 1);
        s.y[static_cast<size_t>(k)] += 1;
    }
    if (!colours.empty()) {
        const int n = static_cast<int>(colours.size());
        for (int k = 0; k < bins; k++) {
            const double centre = (s.x[static_cast<size_t>(k)] + s.x[static_cast<size_t>(k) + 1]) / 2;
            const int c = n == QN_ATLAS_COLOURS
                              ? QN_render_bar_index(centre, lo, hi)
                              : std::clamp(static_cast<int>((centre - lo) / (hi - lo) * n), 0, n - 1);
            s.bar_colours.push_back(colours[static_cast<size_t>(c)]);
        }
    }
    plot.series.push_back(std::move(s));
    return plot;
}

std::vector<unsigned> QN_plot_colours(const QN_atlas& atlas) {
    std::vector<unsigned> out;
    for (const QN_rgb& c : atlas) out.push_back(static_cast<unsigned>(c.r) << 16 | static_cast<unsigned>(c.g) << 8 | c.b);
    return out;
}

std::string QN_plot_tsv(const QN_plot& plot) {
    auto header_name = [](const std::string& name, size_t n) {
        std::string s = name.empty() ? "series " + std::to_string(n + 1) : name;
        for (char& c : s)
            if (c == '\t' || c == '\n' || c == '\r') c = ' ';
        return s;
    };
    std::string out;
    size_t rows = 0;
    for (size_t n = 0; n < plot.series.size(); n++) {
        const std::string name = header_name(plot.series[n].name, n);
        out += (n ? "\t" : "") + name + " x\t" + name + " y";
        rows = std::max({rows, plot.series[n].x.size(), plot.series[n].y.size()});
    }
    out += '\n';
    for (size_t r = 0; r < rows; r++) {
        for (size_t n = 0; n < plot.series.size(); n++) {
            const QN_plot_series& s = plot.series[n];
            if (n) out += '\t';
            if (r < s.x.size()) out += QN_plot_number(s.x[r]);
            out += '\t';
            if (r < s.y.size()) out += QN_plot_number(s.y[r]);
        }
        out += '\n';
    }
    return out;
}

int QN_plot_table::column(const std::string& name) const {
    for (size_t k = 0; k < names.size(); k++)
        if (names[k] == name) return static_cast<int>(k);
    return -1;
}

int QN_plot_table_parse(const std::string& text, QN_plot_table* table, std::string* message) {
    auto fail = [&](const std::string& why) {
        if (message) *message = why;
        return -1;
    };
    auto trim = [](const std::string& s) {
        const size_t a = s.find_first_not_of(" \r");
        return a == std::string::npos ? std::string() : s.substr(a, s.find_last_not_of(" \r") - a + 1);
    };
    auto cells = [](const std::string& line) {
        std::vector<std::string> out;
        size_t start = 0;
        while (true) {
            const size_t tab = line.find('\t', start);
            out.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
            if (tab == std::string::npos) return out;
            start = tab + 1;
        }
    };
    QN_plot_table t;
    bool header = false;
    size_t start = 0;
    for (int number = 1; start < text.size(); number++) {
        const size_t end = std::min(text.find('\n', start), text.size());
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        const std::string bare = trim(line);
        if (bare.empty() || bare[0] == '#') continue;
        std::vector<std::string> parts = cells(line);
        if (!header) {
            for (size_t k = 0; k < parts.size(); k++) {
                std::string name = trim(parts[k]);
                t.names.push_back(name.empty() ? "column " + std::to_string(k + 1) : name);
            }
            t.columns.resize(t.names.size());
            header = true;
            continue;
        }
        if (parts.size() > t.names.size())
            return fail("line " + std::to_string(number) + " has " + std::to_string(parts.size()) +
                        " cells, the header names " + std::to_string(t.names.size()) + " columns");
        for (size_t k = 0; k < t.names.size(); k++) {
            double v = kNaN;
            if (k < parts.size()) {
                std::string cell = trim(parts[k]);
                if (!cell.empty()) {
                    const char* first = cell.c_str() + (cell[0] == '+' ? 1 : 0);
                    const char* last = cell.c_str() + cell.size();
                    const auto r = std::from_chars(first, last, v);
                    if (r.ec == std::errc::result_out_of_range) v = kNaN;
                    else if (r.ec != std::errc() || r.ptr != last || first == last)
                        return fail("line " + std::to_string(number) + ": '" + cell + "' in column " + t.names[k] +
                                    " is not a number");
                }
            }
            t.columns[k].push_back(v);
        }
    }
    if (!header) return fail("the table has no header line of column names");
    *table = std::move(t);
    return 1;
}

int QN_plot_curves(const QN_plot_table& table, const std::string& x, const std::vector<std::string>& y,
                   QN_plot_series::Kind kind, QN_plot* plot, std::string* message) {
    auto lacks = [&](const std::string& name) {
        std::string list;
        for (const std::string& n : table.names) list += (list.empty() ? "" : ", ") + n;
        if (message) *message = "the table has no column " + name + " (its columns: " + list + ")";
        return -1;
    };
    const int cx = table.column(x);
    if (cx < 0) return lacks(x);
    QN_plot p;
    p.x_label = x;
    if (y.size() == 1) p.y_label = y[0];
    for (const std::string& name : y) {
        const int cy = table.column(name);
        if (cy < 0) return lacks(name);
        QN_plot_series s;
        s.kind = kind == QN_plot_series::Bars ? QN_plot_series::Line : kind;
        s.name = name;
        s.x = table.columns[static_cast<size_t>(cx)];
        s.y = table.columns[static_cast<size_t>(cy)];
        p.series.push_back(std::move(s));
    }
    *plot = std::move(p);
    return 1;
}

bool QN_plot_has_data(const QN_plot& plot) {
    for (const QN_plot_series& s : plot.series) {
        if (s.kind == QN_plot_series::Bars) {
            for (size_t k = 0; k < s.y.size() && k + 1 < s.x.size(); k++)
                if (std::isfinite(s.y[k]) && std::isfinite(s.x[k]) && std::isfinite(s.x[k + 1])) return true;
        } else {
            for (size_t k = 0; k < s.x.size() && k < s.y.size(); k++)
                if (std::isfinite(s.x[k]) && std::isfinite(s.y[k])) return true;
        }
    }
    return false;
}

int QN_plot_write(const QN_plot& plot, const std::string& path, int w, int h, std::string* message) {
    return QN_plot_write_with_table(plot, path, w, h, std::string(), message);
}

int QN_plot_write_with_table(const QN_plot& plot, const std::string& path, int w, int h,
                             const std::string& table_path, std::string* message) {
    auto fail = [&](const std::string& why) {
        if (message) *message = why;
        return -1;
    };
    const Format format = format_of(path);
    if (format == Format::Unknown)
        return fail("cannot tell the picture type of " + path + ": give a name ending in .png, .svg or .pdf");
    if (w < QN_PLOT_MIN_SIDE || w > QN_PLOT_MAX_SIDE || h < QN_PLOT_MIN_SIDE || h > QN_PLOT_MAX_SIDE)
        return fail("a plot is " + std::to_string(QN_PLOT_MIN_SIDE) + " to " + std::to_string(QN_PLOT_MAX_SIDE) +
                    " wide and high, not " + std::to_string(w) + " x " + std::to_string(h));
    if (!QN_plot_has_data(plot)) return fail("nothing to plot");
    if (!table_path.empty() && table_path == path) return fail("the picture and its table would both be " + path);
    for (const std::string* p : {&path, &table_path})
        if (!p->empty() && is_folder(*p)) return fail("cannot write " + *p + ": it is a folder");

    std::string bytes, why;
    if (!render(plot, format, w, h, bytes, why)) return fail(why);
    QB_output_file picture;
    errno = 0;
    if (!picture.open(path)) return fail(cannot_write(path, errno));
    std::fwrite(bytes.data(), 1, bytes.size(), picture.get());
    QB_output_file table;
    if (!table_path.empty()) {
        errno = 0;
        if (!table.open(table_path)) return fail(cannot_write(table_path, errno));
        const std::string tsv = QN_plot_tsv(plot);
        std::fwrite(tsv.data(), 1, tsv.size(), table.get());
    }
    // Both in full on the disk before either replaces its file.
    for (auto [file, name] : {std::pair<QB_output_file*, const std::string*>{&picture, &path}, {&table, &table_path}}) {
        errno = 0;
        if (*file && (std::fflush(file->get()) != 0 || std::ferror(file->get()))) return fail(cannot_write(*name, errno));
    }
    if (!table_path.empty()) {
        errno = 0;
        if (!table.commit()) return fail(cannot_write(table_path, errno));
    }
    errno = 0;
    if (!picture.commit()) return fail(cannot_write(path, errno));
    return 1;
}

void QN_plot_draw(const QN_plot& plot, void* cr, int w, int h) {
    if (!cr || w <= 0 || h <= 0) return;
    draw_plot(plot, static_cast<cairo_t*>(cr), w, h, nullptr);
}

std::string QN_plot_data_path(const std::string& picture) {
    const size_t dot = picture.find_last_of('.'), slash = picture.find_last_of('/');
    const bool has_extension = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    return (has_extension ? picture.substr(0, dot) : picture) + ".tsv";
}
