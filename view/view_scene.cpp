#include <GL/glew.h>
// glew.h must come before any other OpenGL header.
#include "view/view_scene.h"

#include <SOIL/SOIL.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "store/quelm_resources.h"
#include "view/view_core.h"
#include "view/view_image.h"
#include "view/view_text.h"

namespace {

// The shading language version of the context as "#version NNN core", or
// 150 when the version text cannot be read.
std::string version_line() {
    int major = 0, minor = 0;
    const char* text = reinterpret_cast<const char*>(glGetString(GL_SHADING_LANGUAGE_VERSION));
    if (!text || std::sscanf(text, "%d.%d", &major, &minor) != 2 || major < 1) return "#version 150\n";
    int version = major * 100 + minor;
    if (version < 150) version = 150;  // core syntax needs at least 1.50
    return "#version " + std::to_string(version) + (version >= 150 ? " core\n" : "\n");
}

// Atoms are shaded round sprites of a size in window pixels. Up to the
// largest point the driver draws (255 pixels on Mesa, 63 on many cards) they
// are point sprites, one vertex each; larger ones (a close zoom, a
// supersampled snapshot) are camera-facing squares, one instance per atom
// with four corners from the vertex number, which no driver limit caps. Both
// cover the same pixels and give the same sprite coordinate (0, 0 at the
// upper left), so an atom looks the same at any size on screen and in a
// snapshot. Below a pixel an atom still covers one.
const char* const kAtomSquares = R"(
in vec3 vVertex;
in float RaletiveRadius;
uniform mat4 mvpMatrix;
uniform float AtomRadius;
uniform vec2 viewSize;
out vec2 spriteCoord;
const vec2 corners[4] = vec2[4](vec2(-1.0, -1.0), vec2(1.0, -1.0), vec2(-1.0, 1.0), vec2(1.0, 1.0));
void place_atom() {
    vec2 c = corners[gl_VertexID];
    vec4 centre = mvpMatrix * vec4(vVertex, 1.0);
    float size = max(AtomRadius * RaletiveRadius, 1.0);
    gl_Position = centre + vec4(c * size / viewSize * centre.w, 0.0, 0.0);
    spriteCoord = vec2(0.5 * (c.x + 1.0), 0.5 * (1.0 - c.y));
}
int atom_number() { return firstAtom + gl_InstanceID; }
)";

const char* const kAtomPoints = R"(
in vec3 vVertex;
in float RaletiveRadius;
uniform mat4 mvpMatrix;
uniform float AtomRadius;
void place_atom() {
    gl_PointSize = AtomRadius * RaletiveRadius;
    gl_Position = mvpMatrix * vec4(vVertex, 1.0);
}
int atom_number() { return gl_VertexID; }
)";

// The sprite coordinate in the fragment stages of either kind.
const char* const kSquareCoord = "in vec2 spriteCoord;\n#define SPRITE spriteCoord\n";
const char* const kPointCoord = "#define SPRITE gl_PointCoord\n";

const char* const kAtomVertex = R"(
in vec3 inColorStart;
out vec3 vColor;
void main() {
    place_atom();
    vColor = inColorStart;
}
)";

// Shared head of the atom fragment stages: round sprites and the depth light.
const char* const kAtomFragmentHead = R"(
in vec3 vColor;
uniform sampler2D starImage;
uniform float LightPosition;
uniform float LightStrength;
uniform float Chroma;
out vec4 fragColor;
float depth_light() {
    float d = LightPosition - gl_FragCoord.z;
    return LightStrength * d * d * sign(d);
}
bool outside() {
    vec2 p = 2.0 * SPRITE - 1.0;
    return dot(p, p) > 0.92;
}
vec4 tinted(vec3 rgb) {
    vec2 s = SPRITE;
    vec4 g = texture(starImage, vec2(0.875 + 0.125 * s.x, 0.75 - 0.125 * s.y));
    return vec4(g.r, g.r, g.r, 1.0) + 1.5 * Chroma * (g.b - (g.r + g.g) / 2.0) * vec4(rgb, 0.0);
}
)";

const char* const kBarFragment = R"(
void main() {
    if (outside()) discard;
    vec2 s = SPRITE;
    float L = depth_light();
    fragColor = texture(starImage, vec2(vColor.x + 0.125 * s.x, 1.0 - vColor.y - 0.125 * s.y)) + vec4(L, L, L, 0.0);
}
)";

const char* const kColFragment = R"(
void main() {
    if (outside()) discard;
    float L = depth_light();
    fragColor = vec4(L, L, L, 0.0) + tinted(vColor);
}
)";

const char* const kSelectFragment = R"(
void main() {
    if (outside()) discard;
    float L = depth_light();
    fragColor = vec4(L, L, L, 0.0) + tinted(vec3(1.0, 0.0, 0.0));
}
)";

// Picking: the vertex number + 1 in red, green and blue (the default
// framebuffer may have no alpha).
const char* const kHitVertex = R"(
flat out vec4 hitColor;
void main() {
    int n = atom_number() + 1;
    hitColor = vec4(float(n & 255), float((n >> 8) & 255), float((n >> 16) & 255), 255.0) / 255.0;
    place_atom();
}
)";

const char* const kHitFragment = R"(
flat in vec4 hitColor;
out vec4 fragColor;
void main() {
    vec2 p = 2.0 * SPRITE - 1.0;
    if (dot(p, p) > 0.92) discard;
    fragColor = hitColor;
}
)";

const char* const kLineVertex = R"(
in vec3 vVertex;
uniform mat4 mvpMatrix;
void main() { gl_Position = mvpMatrix * vec4(vVertex, 1.0); }
)";

const char* const kLineFragment = R"(
uniform vec3 lineColor;
out vec4 fragColor;
void main() { fragColor = vec4(lineColor, 1.0); }
)";

const char* const kLabelVertex = R"(
in vec3 vVertex;
uniform mat4 mvpMatrix;
void main() {
    gl_PointSize = 20.0;
    gl_Position = mvpMatrix * vec4(vVertex, 1.0);
}
)";

const char* const kLabelFragment = R"(
uniform sampler2D starImage;
out vec4 fragColor;
void main() { fragColor = texture(starImage, gl_PointCoord); }
)";

// The legend: flat quads in window pixels, or a text's coverage (red channel
// of the label texture) in a given colour.
const char* const kLegendVertex = R"(
in vec2 legendPixel;
in vec2 legendUV;
uniform vec2 viewSize;
out vec2 uv;
void main() {
    uv = legendUV;
    gl_Position = vec4(2.0 * legendPixel / viewSize - 1.0, 0.0, 1.0);
}
)";

const char* const kLegendFragment = R"(
in vec2 uv;
uniform vec4 fill;
uniform int textured;
uniform sampler2D coverage;
out vec4 fragColor;
void main() {
    if (textured != 0)
        fragColor = vec4(fill.rgb, fill.a * texture(coverage, uv).r);
    else
        fragColor = fill;
}
)";

unsigned compile(GLenum kind, const std::string& source, const char* failure) {
    const unsigned shader = glCreateShader(kind);
    const char* text = source.c_str();
    glShaderSource(shader, 1, &text, nullptr);
    glCompileShader(shader);
    GLint ok = 0;
    glGetShaderiv(shader, GL_COMPILE_STATUS, &ok);
    if (!ok) {
        char log[1024] = "";
        glGetShaderInfoLog(shader, sizeof log, nullptr, log);
        std::printf("%s\n%s\n", failure, log);
    }
    return shader;
}

unsigned link(const std::string& vertex, const std::string& fragment, const char* vertex_failure,
              const char* fragment_failure) {
    const std::string head = version_line();
    const unsigned vs = compile(GL_VERTEX_SHADER, head + vertex, vertex_failure);
    const unsigned fs = compile(GL_FRAGMENT_SHADER, head + fragment, fragment_failure);
    const unsigned program = glCreateProgram();
    glAttachShader(program, vs);
    glAttachShader(program, fs);
    glBindAttribLocation(program, 0, "vVertex");
    glBindAttribLocation(program, 1, "inColorStart");
    glBindAttribLocation(program, 2, "RaletiveRadius");
    glLinkProgram(program);
    glDeleteShader(vs);
    glDeleteShader(fs);
    return program;
}

// Loads an image as a texture, rows as the file holds them (the first row at
// v = 0, which is the top of a point sprite); a missing file gives an empty
// texture.
unsigned texture(const char* path) {
    unsigned name = 0;
    glGenTextures(1, &name);
    glBindTexture(GL_TEXTURE_2D, name);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    int w = 0, h = 0, channels = 0;
    unsigned char* pixels = SOIL_load_image(path, &w, &h, &channels, SOIL_LOAD_RGBA);
    if (pixels && w > 0 && h > 0) glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, w, h, 0, GL_RGBA, GL_UNSIGNED_BYTE, pixels);
    if (pixels) SOIL_free_image_data(pixels);
    return name;
}

void uniform_matrix(unsigned program, const float* m) {
    glUniformMatrix4fv(glGetUniformLocation(program, "mvpMatrix"), 1, GL_FALSE, m);
}

// The atlas colours that stand for the colour-bar indices (read once).
const QN_atlas& atlas_colours() {
    static const QN_atlas atlas = [] {
        QN_atlas a;
        QN_atlas_load(QN_resource_path("img/color.png").c_str(), &a);
        return a;
    }();
    return atlas;
}

}  // namespace

void QN_scene::release_resources() {
    for (Atom_programs& a : atoms_)
        for (unsigned* p : {&a.bar, &a.col, &a.select, &a.hit})
            if (*p) glDeleteProgram(*p), *p = 0;
    prog_col = prog_bar = prog_hit = prog_select = 0;
    for (unsigned* p : {&prog_box, &prog_label})
        if (*p) glDeleteProgram(*p), *p = 0;
    prog_atoms = 0;
    unsigned textures[4] = {tex_atoms, tex_x, tex_y, tex_z};
    glDeleteTextures(4, textures);
    glDeleteBuffers(1, &vbo);
    glDeleteVertexArrays(1, &vao);
    glDeleteVertexArrays(1, &atom_vao_);
    vbo = vao = atom_vao_ = 0;
    if (prog_legend_) glDeleteProgram(prog_legend_), prog_legend_ = 0;
    glDeleteBuffers(1, &legend_vbo_);
    glDeleteVertexArrays(1, &legend_vao_);
    legend_vbo_ = legend_vao_ = 0;
    for (auto& l : labels_) glDeleteTextures(1, &l.second.texture);
    labels_.clear();
}

void QN_scene::create_resources() {
    glewExperimental = GL_TRUE;
    const GLenum status = glewInit();
    // In an EGL context GLEW finds no GLX display once it has loaded the
    // OpenGL functions: that result is as good as GLEW_OK.
    if (status != GLEW_OK && status != GLEW_ERROR_NO_GLX_DISPLAY)
        std::fprintf(stderr, "glewInit() failed returning %u\n", status);
    glGetError();  // glewInit may leave GL_INVALID_ENUM behind in a core context
    glEnable(GL_DEPTH_TEST);
    glDepthFunc(GL_LEQUAL);
    glEnable(GL_PROGRAM_POINT_SIZE);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    // Each atom program twice: [0] point sprites, [1] squares.
    for (int k = 0; k < 2; k++) {
        const std::string vertex = std::string(k ? "uniform int firstAtom;\n" : "") + (k ? kAtomSquares : kAtomPoints);
        const std::string coord = k ? kSquareCoord : kPointCoord;
        const std::string atom_vertex = vertex + kAtomVertex;
        const std::string atom_fragment = coord + kAtomFragmentHead;
        atoms_[k].bar = link(atom_vertex, atom_fragment + kBarFragment, "Vertex shader not compiled.",
                             "bar Fragment shader not compiled.");
        atoms_[k].col = link(atom_vertex, atom_fragment + kColFragment, "Vertex shader not compiled.",
                             "col Fragment shader not compiled.");
        atoms_[k].select = link(atom_vertex, atom_fragment + kSelectFragment, "Vertex shader not compiled.",
                                "Select Fragment shader not compiled.");
        atoms_[k].hit = link(vertex + kHitVertex, coord + kHitFragment, "Hit Vertex shader not compiled.",
                             "Hit Fragment shader not compiled.");
    }
    prog_bar = atoms_[0].bar;
    prog_col = atoms_[0].col;
    prog_select = atoms_[0].select;
    prog_hit = atoms_[0].hit;
    GLfloat sizes[2] = {1, 1};
    glGetFloatv(GL_POINT_SIZE_RANGE, sizes);
    driver_point_limit_ = sizes[1];
    prog_box = link(kLineVertex, kLineFragment, "Box Vertex shader not compiled.", "Box Fragment shader not compiled.");
    prog_label = link(kLabelVertex, kLabelFragment, "Print Vertex shader not compiled.",
                      "Print Fragment shader not compiled.");
    glGenVertexArrays(1, &vao);
    glGenVertexArrays(1, &atom_vao_);
    glGenBuffers(1, &vbo);
    prog_legend_ = link(kLegendVertex, kLegendFragment, "Legend Vertex shader not compiled.",
                        "Legend Fragment shader not compiled.");
    glGenVertexArrays(1, &legend_vao_);
    glGenBuffers(1, &legend_vbo_);
    tex_atoms = texture(QN_resource_path("img/color.png").c_str());
    tex_x = texture(QN_resource_path("img/x.png").c_str());
    tex_y = texture(QN_resource_path("img/y.png").c_str());
    tex_z = texture(QN_resource_path("img/z.png").c_str());
    prog_atoms = use_bar_ ? prog_bar : prog_col;
}

// ------------------------------------------------------------------ loading

void QN_scene::loadQB_bar(QB_tools* model, int slot, double min, double max) {
    take(QN_render_build_bar(model, slot, min, max, rel_radius, slice, host_), true);
    QN_legend_request request;
    request.mode = QN_legend_request::Bar;
    request.slot = slot;
    request.min = min;
    request.max = max;
    if (model) QB_slot_name(model, slot, request.column);
    legend_ = QN_legend_build(model, request, atlas_colours());
}

void QN_scene::loadQB_col(QB_tools* model, int slot_r, int slot_g, int slot_b) {
    take(QN_render_build_col(model, slot_r, slot_g, slot_b, rel_radius, slice, host_), false);
    QN_legend_request request;
    request.mode = QN_legend_request::Rgb;
    const int slots[3] = {slot_r, slot_g, slot_b};
    for (int k = 0; k < 3 && model; k++) QB_slot_name(model, slots[k], request.rgb[k]);
    legend_ = QN_legend_build(model, request, atlas_colours());
}

QN_legend QN_scene::legend(int w, int h, double scale) const {
    QN_legend l = legend_;
    QN_legend_layout(&l, w, h, scale, QN_text_ready() ? QN_text_width : nullptr);
    return l;
}

// A text rasterised in the legend's font (view_text.h) into a one-channel
// texture of its coverage; the first row is the top of the text. Without a
// font the texture is blank.
const QN_scene::Label& QN_scene::label_texture(const std::string& text, int px) {
    const auto key = std::make_pair(text, px);
    auto found = labels_.find(key);
    if (found != labels_.end()) return found->second;
    if (labels_.size() > 64) {
        for (auto& l : labels_) glDeleteTextures(1, &l.second.texture);
        labels_.clear();
    }
    QN_text_image image;
    QN_text_render(text, px, &image);
    Label l;
    l.w = image.w;
    l.h = image.h;
    glGenTextures(1, &l.texture);
    glBindTexture(GL_TEXTURE_2D, l.texture);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_R8, l.w, l.h, 0, GL_RED, GL_UNSIGNED_BYTE, image.coverage.data());
    return labels_.emplace(key, l).first->second;
}

// The legend over the finished scene: a panel of the background colour, the
// swatches or bar steps, then the texts in black or white (whichever stands
// out from the background).
void QN_scene::paint_legend(int w, int h) {
    if (!show_legend || picking || legend_.kind == QN_legend::Empty || !prog_legend_) return;
    const QN_legend l = legend(w, h, legend_scale);
    glDisable(GL_DEPTH_TEST);
    glUseProgram(prog_legend_);
    glBindVertexArray(legend_vao_);
    glBindBuffer(GL_ARRAY_BUFFER, legend_vbo_);
    const int pixel_at = glGetAttribLocation(prog_legend_, "legendPixel");
    const int uv_at = glGetAttribLocation(prog_legend_, "legendUV");
    if (pixel_at >= 0) {
        glEnableVertexAttribArray(pixel_at);
        glVertexAttribPointer(pixel_at, 2, GL_FLOAT, GL_FALSE, 4 * sizeof(float), nullptr);
    }
    if (uv_at >= 0) {
        glEnableVertexAttribArray(uv_at);
        glVertexAttribPointer(uv_at, 2, GL_FLOAT, GL_FALSE, 4 * sizeof(float), reinterpret_cast<void*>(8));
    }
    glUniform2f(glGetUniformLocation(prog_legend_, "viewSize"), static_cast<float>(w), static_cast<float>(h));
    glUniform1i(glGetUniformLocation(prog_legend_, "coverage"), 0);
    const int fill_at = glGetUniformLocation(prog_legend_, "fill");
    const int textured_at = glGetUniformLocation(prog_legend_, "textured");
    // Two triangles per rectangle; the texture's first row at the top.
    auto rect = [&](const QN_legend_rect& r) {
        const float x0 = static_cast<float>(r.x), y0 = static_cast<float>(r.y);
        const float x1 = x0 + static_cast<float>(r.w), y1 = y0 + static_cast<float>(r.h);
        const float v[24] = {x0, y0, 0, 1, x1, y0, 1, 1, x1, y1, 1, 0, x0, y0, 0, 1, x1, y1, 1, 0, x0, y1, 0, 0};
        glBufferData(GL_ARRAY_BUFFER, sizeof v, v, GL_STREAM_DRAW);
        glDrawArrays(GL_TRIANGLES, 0, 6);
    };
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glUniform1i(textured_at, 0);
    glUniform4f(fill_at, bg_color[0], bg_color[1], bg_color[2], 0.85f);
    rect(l.panel);
    glDisable(GL_BLEND);
    for (const QN_legend_quad& q : l.quads) {
        glUniform4f(fill_at, q.colour.r / 255.0f, q.colour.g / 255.0f, q.colour.b / 255.0f, 1.0f);
        rect(q.rect);
    }
    const float luminance = 0.299f * bg_color[0] + 0.587f * bg_color[1] + 0.114f * bg_color[2];
    const float ink = luminance > 0.5f ? 0.0f : 1.0f;
    glEnable(GL_BLEND);
    glUniform1i(textured_at, 1);
    glUniform4f(fill_at, ink, ink, ink, 1.0f);
    glActiveTexture(GL_TEXTURE0);
    for (const QN_legend_text& t : l.texts) {
        if (t.text.empty()) continue;
        const Label& tex = label_texture(t.text, l.text_px);
        glBindTexture(GL_TEXTURE_2D, tex.texture);
        rect({t.x, t.y, tex.w, tex.h});
    }
    glDisable(GL_BLEND);
    glEnable(GL_DEPTH_TEST);
    glBindVertexArray(0);
}

// New render data waits in host_ for the next draw, which uploads it.
void QN_scene::take(const QN_render_info& info, bool bar) {
    atoms_drawn_ = info.drawn;
    depth_range = info.depth_range;
    n_vertex_floats = QN_RENDER_FLOATS * info.drawn;
    use_bar_ = bar;
    prog_atoms = prog_atoms ? (bar ? prog_bar : prog_col) : 0;
    upload_pending_ = true;
}

// ------------------------------------------------------------------ drawing

QN_camera QN_scene::camera() const {
    QN_camera c;
    c.rot_x = rot_x;
    c.rot_y = rot_y;
    c.rot_z = rot_z;
    c.view_height = view_height;
    c.depth_range = depth_range;
    c.perspective = perspective;
    c.shift_x = shift_x;
    c.shift_y = shift_y;
    return c;
}

bool QN_scene::fit(const QB_tools* model, int w, int h) {
    if (w < 1 || h < 1) return false;
    QN_camera c = camera();
    if (!QN_camera_fit_box(&c, model, w, h)) return false;
    view_height = c.view_height;
    shift_x = c.shift_x;
    shift_y = c.shift_y;
    request_redraw();
    return true;
}

void QN_scene::paint(int w, int h) {
    glViewport(0, 0, w, h);
    if (picking)
        glClearColor(0, 0, 0, 0);  // "no atom"
    else
        glClearColor(bg_color[0], bg_color[1], bg_color[2], 0);
    glClearDepth(1);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    if (!showing_model() && !upload_pending_ && n_vertex_floats == 0) return;

    glBindVertexArray(vao);
    glBindBuffer(GL_ARRAY_BUFFER, vbo);
    if (upload_pending_) {
        glBufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(host_.size() * sizeof(float)), host_.data(),
                     GL_STATIC_DRAW);
        host_.clear();
        host_.shrink_to_fit();
        upload_pending_ = false;
    }
    const GLsizei stride = QN_RENDER_FLOATS * sizeof(float);
    glEnableVertexAttribArray(0);
    glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, stride, nullptr);
    glEnableVertexAttribArray(1);
    glVertexAttribPointer(1, 3, GL_FLOAT, GL_FALSE, stride, reinterpret_cast<void*>(12));
    glEnableVertexAttribArray(2);
    glVertexAttribPointer(2, 1, GL_FLOAT, GL_FALSE, stride, reinterpret_cast<void*>(24));

    const QN_camera cam = camera();
    const QN_mat4 mvp = QN_camera_mvp(cam, w, h);
    px_per_unit = QN_camera_px_per_unit(cam, h);

    if (atoms_drawn_ > 0) {
        // Squares once the largest atom would exceed what a point may be.
        double largest_relative = 1;
        for (double r : rel_radius) largest_relative = std::max(largest_relative, r);
        const double largest = std::max(2 * atom_radius * px_per_unit * largest_relative, 1.0);
        const double limit = point_size_limit < 0 ? driver_point_limit_ : point_size_limit;
        squares_ = !(largest <= limit);
        const Atom_programs& a = atoms_[squares_ ? 1 : 0];
        const unsigned program = picking ? a.hit : (use_bar_ ? a.bar : a.col);
        auto prepare = [&](unsigned p) {
            glUseProgram(p);
            uniform_matrix(p, mvp.data());
            glUniform1f(glGetUniformLocation(p, "AtomRadius"), static_cast<float>(2 * atom_radius * px_per_unit));
            glUniform2f(glGetUniformLocation(p, "viewSize"), static_cast<float>(w), static_cast<float>(h));
            glUniform1f(glGetUniformLocation(p, "Chroma"), static_cast<float>(chroma));
            glUniform1f(glGetUniformLocation(p, "LightPosition"), static_cast<float>(light_position));
            glUniform1f(glGetUniformLocation(p, "LightStrength"), static_cast<float>(light_strength));
            glUniform1i(glGetUniformLocation(p, "starImage"), 0);
        };
        glActiveTexture(GL_TEXTURE0);
        glBindTexture(GL_TEXTURE_2D, tex_atoms);
        if (squares_) glBindVertexArray(atom_vao_);
        prepare(program);
        if (!picking && inspect_mode && selected >= 0 && selected < atoms_drawn_) {
            draw_atoms(program, 0, selected);
            draw_atoms(program, selected + 1, atoms_drawn_ - selected - 1);
            prepare(a.select);
            draw_atoms(a.select, selected, 1);
        } else {
            draw_atoms(program, 0, atoms_drawn_);
        }
        glBindVertexArray(vao);
    }

    const int box_first = atoms_drawn_;
    const int axes_first = box_first + QN_RENDER_BOX_VERTICES;
    const int slice_first = axes_first + QN_RENDER_AXIS_VERTICES;
    glUseProgram(prog_box);
    const int color_at = glGetUniformLocation(prog_box, "lineColor");
    if (draw_axes && !picking) {
        glDisable(GL_DEPTH_TEST);
        const QN_mat4 axes = QN_camera_axes(cam, w, h);
        uniform_matrix(prog_box, axes.data());
        glLineWidth(2);
        const float colours[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
        for (int k = 0; k < 3; k++) {
            glUniform3fv(color_at, 1, colours[k]);
            glDrawArrays(GL_LINES, axes_first + 2 * k, 2);
        }
        glEnable(GL_BLEND);
        glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
        glUseProgram(prog_label);
        uniform_matrix(prog_label, axes.data());
        const unsigned letters[3] = {tex_x, tex_y, tex_z};
        for (int k = 0; k < 3; k++) {
            glActiveTexture(GL_TEXTURE1 + k);
            glBindTexture(GL_TEXTURE_2D, letters[k]);
            glUniform1i(glGetUniformLocation(prog_label, "starImage"), 1 + k);
            glDrawArrays(GL_POINTS, axes_first + 2 * k + 1, 1);
        }
        glActiveTexture(GL_TEXTURE0);
        glDisable(GL_BLEND);
        glEnable(GL_DEPTH_TEST);
        glUseProgram(prog_box);
    }
    uniform_matrix(prog_box, mvp.data());
    if (draw_box && !picking) {
        glUniform3fv(color_at, 1, box_color);
        glLineWidth(static_cast<float>(box_line_width));
        glDrawArrays(GL_LINES, box_first, QN_RENDER_BOX_VERTICES);
    }
    if (draw_slice && !picking) {
        const float red[3] = {1, 0, 0};
        glUniform3fv(color_at, 1, red);
        glLineWidth(2);
        if (slice.slice_count[0] > 0) glDrawArrays(GL_LINE_LOOP, slice_first, slice.slice_count[0]);
        if (slice.slice_count[1] > 0)
            glDrawArrays(GL_LINE_LOOP, slice_first + slice.slice_count[0], slice.slice_count[1]);
    }
    glBindVertexArray(0);
    paint_legend(w, h);
}

// Atoms first ... first + count - 1 of the render data: points, or one square
// each with the atom records as the instances (the attributes start at the
// first one).
void QN_scene::draw_atoms(unsigned program, int first, int count) {
    if (count <= 0) return;
    if (!squares_) {
        glDrawArrays(GL_POINTS, first, count);
        return;
    }
    const GLsizei stride = QN_RENDER_FLOATS * sizeof(float);
    const size_t base = static_cast<size_t>(first) * static_cast<size_t>(stride);
    glBindBuffer(GL_ARRAY_BUFFER, vbo);
    glEnableVertexAttribArray(0);
    glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, stride, reinterpret_cast<void*>(base));
    glEnableVertexAttribArray(1);
    glVertexAttribPointer(1, 3, GL_FLOAT, GL_FALSE, stride, reinterpret_cast<void*>(base + 12));
    glEnableVertexAttribArray(2);
    glVertexAttribPointer(2, 1, GL_FLOAT, GL_FALSE, stride, reinterpret_cast<void*>(base + 24));
    for (unsigned a = 0; a < 3; a++) glVertexAttribDivisor(a, 1);
    const int first_at = glGetUniformLocation(program, "firstAtom");
    if (first_at >= 0) glUniform1i(first_at, first);
    glDrawArraysInstanced(GL_TRIANGLE_STRIP, 0, 4, count);
}

// ------------------------------------------------------- off-screen frames

bool QN_scene::render_frame(int W, int H, std::vector<unsigned char>& rgb) {
    if (W < 1 || H < 1 || !use_context()) return false;
    if (!prog_atoms) create_resources();
    GLint largest = 0;
    glGetIntegerv(GL_MAX_RENDERBUFFER_SIZE, &largest);
    if (W > largest || H > largest) return false;
    unsigned fbo = 0, buffers[2] = {0, 0};
    glGenFramebuffers(1, &fbo);
    glGenRenderbuffers(2, buffers);
    glBindRenderbuffer(GL_RENDERBUFFER, buffers[0]);
    glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, W, H);
    glBindRenderbuffer(GL_RENDERBUFFER, buffers[1]);
    glRenderbufferStorage(GL_RENDERBUFFER, GL_DEPTH_COMPONENT24, W, H);
    glBindFramebuffer(GL_FRAMEBUFFER, fbo);
    glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, buffers[0]);
    glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_RENDERBUFFER, buffers[1]);
    const bool complete = glCheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
    if (complete) {
        paint(W, H);
        rgb.resize(static_cast<size_t>(W) * H * 3);
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glReadPixels(0, 0, W, H, GL_RGB, GL_UNSIGNED_BYTE, rgb.data());
    }
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glDeleteRenderbuffers(2, buffers);
    glDeleteFramebuffers(1, &fbo);
    return complete;
}

int QN_scene_read_pixels(QN_scene* scene, int W, int H, int S, int B, unsigned char* out) {
    if (!scene || !out || S < 1 || S > QN_SNAPSHOT_MAX_SCALE || B < 0 || B > QN_SNAPSHOT_MAX_BLUR)
        return QN_IMAGE_BAD_ARGUMENT;
    if (W < 1 || H < 1 || static_cast<long long>(W) * S > QN_SNAPSHOT_MAX_SIDE ||
        static_cast<long long>(H) * S > QN_SNAPSHOT_MAX_SIDE)
        return QN_IMAGE_BAD_ARGUMENT;
    std::vector<unsigned char> frame;
    const double screen_scale = scene->legend_scale;
    scene->legend_scale = S;  // the legend keeps its size in the reduced picture
    const bool made = scene->render_frame(W * S, H * S, frame);
    scene->legend_scale = screen_scale;
    if (!made) return QN_SNAPSHOT_NO_FRAME;
    return QN_reduce_frame(frame.data(), W, H, S, B, out);
}

int QN_scene_save(QN_scene* scene, QN_picture_kind kind, const char* name, int W, int H, int S, int B) {
    if (!name || QN_snapshot_too_large(W, H, S)) return QN_IMAGE_BAD_ARGUMENT;
    std::vector<unsigned char> picture(static_cast<size_t>(std::max(W, 1)) * std::max(H, 1) * 3);
    const int read = QN_scene_read_pixels(scene, W, H, S, B, picture.data());
    if (read != QN_IMAGE_OK) return read;
    switch (kind) {
        case QN_picture_kind::Jpeg:
            return QN_write_jpeg(name, W, H, picture.data());
        case QN_picture_kind::Bmp:
            return QN_write_bmp(name, W, H, picture.data());
        case QN_picture_kind::Png:
            break;
    }
    return QN_write_png(name, W, H, picture.data());
}
