#include "view/view_batch.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "analysis/morla_summary.h"
#include "qb/qb_formats.h"
#include "qb/qb_tools.h"
#include "store/quelm_batch_core.h"
#include "store/quelm_model_io.h"
#include "store/quelm_resources.h"
#include "view/view_core.h"
#include "view/view_image.h"
#include "view/view_offscreen.h"
#include "view/view_scene.h"
#include "view/view_text.h"

namespace {

int usage(FILE* err, const std::string& message) {
    std::fprintf(err, "quelm-batch: %s\nTry 'quelm-batch --help'.\n", message.c_str());
    return 2;
}

bool ends_with(const std::string& s, const char* tail) {
    const size_t n = std::strlen(tail);
    return s.size() > n && s.compare(s.size() - n, n, tail) == 0;
}

// "A,B,C" (or "AxB" with two parts) as numbers; false when malformed.
bool numbers(const std::string& text, char separator, std::vector<double>& out, size_t count) {
    out.clear();
    size_t start = 0;
    while (true) {
        const size_t end = text.find(separator, start);
        const std::string part = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        char* stop = nullptr;
        const double v = std::strtod(part.c_str(), &stop);
        if (part.empty() || *stop != '\0') return false;
        out.push_back(v);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return out.size() == count;
}

}  // namespace

int QN_batch_snapshot(int argc, const char* const* argv, FILE* out, FILE* err) {
    QN_batch_args args;
    std::string error;
    if (!QN_batch_parse(argc, argv, 2, {"-o", "--size", "--scale", "--color", "--rgb", "--rotate"}, args, error,
                        {"--fixed-height", "--legend"}))
        return usage(err, error);
    const std::string* target = args.option("-o");
    if (args.words.size() != 1 || !target || !args.entries.empty())
        return usage(err, "snapshot takes IN and -o OUT.png|.jpg|.bmp");
    int kind = ends_with(*target, ".png") ? 0 : ends_with(*target, ".jpg") ? 1 : ends_with(*target, ".bmp") ? 2 : -1;
    if (kind < 0) return usage(err, "the picture must end in .png, .jpg or .bmp");
    std::vector<double> size = {1920, 1100}, scale = {2}, rotate = {0, 0, 0}, unused;
    if (const std::string* s = args.option("--size"); s && (!numbers(*s, 'x', size, 2) || size[0] < 1 || size[1] < 1))
        return usage(err, "--size takes WxH");
    if (const std::string* s = args.option("--scale"); s && (!numbers(*s, ',', scale, 1) || scale[0] < 1 || scale[0] > 10))
        return usage(err, "--scale takes a number from 1 to 10");
    if (const std::string* s = args.option("--rotate"); s && !numbers(*s, ',', rotate, 3))
        return usage(err, "--rotate takes AX,AY,AZ in degrees");
    if (args.option("--color") && args.option("--rgb")) return usage(err, "give --color or --rgb, not both");

    QB_tools model;
    std::string report;
    if (QN_read_model(&model, args.words[0].c_str(), report) != 1) {
        std::fprintf(err, "%s\n", report.empty() ? "Reading file failed" : report.c_str());
        return 1;
    }
    std::fprintf(out, "%s\n", report.c_str());
    // Drawn off screen: no display needed.
    QN_offscreen_context context;
    if (!context.ok()) {
        std::fprintf(err, "quelm-batch: snapshot could not make an OpenGL context: %s\n", context.why().c_str());
        return 1;
    }
    // Without the textures every atom would come out black.
    std::string missing;
    if (QN_resource_check(QN_resource_textures(), missing) != 1) {
        std::fprintf(err, "quelm-batch: %s\n", missing.c_str());
        return 1;
    }

    // The legend names the classes of the structure-analysis columns, as in
    // the window.
    if (!QN_legend_get_class_source()) QN_legend_set_class_source(QN_MORLA_classes);
    QN_scene scene;
    scene.rel_radius.assign(static_cast<size_t>(std::max(model.ntypes, 0)), 1.0);
    scene.rot_x = rotate[0];
    scene.rot_y = rotate[1];
    scene.rot_z = rotate[2];
    // The colour legend only on request, so that pictures stay as they were.
    scene.show_legend = args.option("--legend") ? 1 : 0;
    if (const std::string* column = args.option("--color")) {
        const int slot = QB_slot_get(&model, column->c_str());
        QN_range range;
        if (slot < 0 || !QN_render_bar_range(&model, slot, column->c_str(), &range)) {
            std::fprintf(err, "quelm-batch: the model has no column %s\n", column->c_str());
            return 1;
        }
        scene.loadQB_bar(&model, slot, range.min, range.max);
    } else if (const std::string* rgb = args.option("--rgb")) {
        int slots[3];
        size_t start = 0;
        for (int k = 0; k < 3; k++) {
            const size_t end = rgb->find(',', start);
            const std::string name = rgb->substr(start, end == std::string::npos ? std::string::npos : end - start);
            slots[k] = QB_slot_get(&model, name.c_str());
            if (slots[k] < 0 || (k < 2 && end == std::string::npos) || (k == 2 && end != std::string::npos)) {
                std::fprintf(err, "quelm-batch: --rgb takes three columns of the model, R,G,B\n");
                return 1;
            }
            start = end + 1;
        }
        scene.loadQB_col(&model, slots[0], slots[1], slots[2]);
    } else {
        const QN_range range = QN_render_default_range(model.ntypes);
        scene.loadQB_bar(&model, 1, range.min, range.max);
    }
    // The picture frames the box as the window does for a new model, in the
    // picture's own proportions; --fixed-height keeps the view's default
    // height of 100 length units, centred on the box.
    if (!args.option("--fixed-height")) scene.fit(&model, static_cast<int>(size[0]), static_cast<int>(size[1]));
    std::string no_font;
    if (scene.show_legend && scene.legend(1, 1).kind != QN_legend::Empty && !QN_text_ready(&no_font))
        std::fprintf(err, "quelm-batch: the legend is drawn without its texts: %s\n", no_font.c_str());
    const QN_picture_kind kinds[3] = {QN_picture_kind::Png, QN_picture_kind::Jpeg, QN_picture_kind::Bmp};
    const int result = QN_scene_save(&scene, kinds[kind], target->c_str(), static_cast<int>(size[0]),
                                     static_cast<int>(size[1]), static_cast<int>(scale[0]), 0);
    scene.release_resources();
    if (result != QN_IMAGE_OK) {
        std::fprintf(err, "Saving picture failed\n%s\n", target->c_str());
        return 1;
    }
    std::fprintf(out, "Scene exported to %s\n", target->c_str());
    return 0;
}

void QN_batch_register_snapshot() {
    QN_batch_add_command("snapshot",
                         "  snapshot IN -o OUT.png|.jpg|.bmp [--size WxH] [--scale S] [--color COLUMN | --rgb R,G,B]\n"
                         "           [--rotate AX,AY,AZ] [--fixed-height] [--legend]\n"
                         "                            draw IN as the view does and write the picture (off\n"
                         "                            screen: no X server needed); the box fills 90 % of the\n"
                         "                            picture unless --fixed-height keeps a view 100 length\n"
                         "                            units high; --legend draws the colour legend of --color\n"
                         "                            or --rgb in the lower right corner\n",
                         QN_batch_snapshot);
}
