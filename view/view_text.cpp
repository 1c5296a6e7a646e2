#include "view/view_text.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace {

// The one font of the legend, opened at first use and kept for the process.
// Glyphs are loaded with the hinting and anti-aliasing fontconfig asks for,
// as Xft (which draws FLTK's texts) does.
class Font {
public:
    static Font& get() {
        static Font font;
        return font;
    }
    bool ready() const { return face_ != nullptr; }
    const std::string& why() const { return why_; }

    // Sets the pixel size; false when the face cannot take it.
    bool size(int pixels) {
        if (!face_) return false;
        if (pixels == size_) return true;
        if (FT_Set_Pixel_Sizes(face_, 0, static_cast<FT_UInt>(pixels)) != 0) {
            size_ = 0;
            return false;
        }
        size_ = pixels;
        return true;
    }
    // Loads the glyph of a code point (the face's missing-glyph box for one
    // it lacks); false when FreeType fails.
    bool load(char32_t code, bool render) {
        const FT_UInt index = FT_Get_Char_Index(face_, code);
        if (FT_Load_Glyph(face_, index, load_flags_) != 0) return false;
        if (!render) return true;
        return FT_Render_Glyph(face_->glyph, antialias_ ? FT_RENDER_MODE_NORMAL : FT_RENDER_MODE_MONO) == 0;
    }
    FT_GlyphSlot glyph() const { return face_->glyph; }
    // Ascent and descent of the sized face in whole pixels (as Xft gives
    // them to FLTK's fl_height and fl_descent).
    int ascent() const { return static_cast<int>(face_->size->metrics.ascender >> 6); }
    int descent() const { return static_cast<int>(-(face_->size->metrics.descender >> 6)); }
    bool antialias() const { return antialias_; }

private:
    FT_Library library_ = nullptr;
    FT_Face face_ = nullptr;
    int size_ = 0;
    FT_Int32 load_flags_ = FT_LOAD_DEFAULT;
    bool antialias_ = true;
    std::string why_;

    Font() {
        // A configuration of our own, dropped once the font is found: only
        // its file and rendering settings are kept.
        struct Config {
            FcConfig* config = FcInitLoadConfigAndFonts();
            ~Config() {
                if (config) FcConfigDestroy(config);
            }
        } own;
        if (!own.config) {
            why_ = "fontconfig could not be initialised";
            return;
        }
        FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>("sans"));
        if (!pattern) {
            why_ = "fontconfig could not parse the font name sans";
            return;
        }
        FcConfigSubstitute(own.config, pattern, FcMatchPattern);
        FcDefaultSubstitute(pattern);
        FcResult result = FcResultNoMatch;
        FcPattern* match = FcFontMatch(own.config, pattern, &result);
        FcPatternDestroy(pattern);
        FcChar8* file = nullptr;
        if (!match || FcPatternGetString(match, FC_FILE, 0, &file) != FcResultMatch || !file) {
            if (match) FcPatternDestroy(match);
            why_ = "fontconfig finds no font for sans";
            return;
        }
        int index = 0, hint_style = FC_HINT_SLIGHT;
        FcBool antialias = FcTrue, hinting = FcTrue, autohint = FcFalse, bitmaps = FcTrue;
        FcPatternGetInteger(match, FC_INDEX, 0, &index);
        FcPatternGetBool(match, FC_ANTIALIAS, 0, &antialias);
        FcPatternGetBool(match, FC_HINTING, 0, &hinting);
        FcPatternGetInteger(match, FC_HINT_STYLE, 0, &hint_style);
        FcPatternGetBool(match, FC_AUTOHINT, 0, &autohint);
        FcPatternGetBool(match, FC_EMBEDDED_BITMAP, 0, &bitmaps);
        const std::string path = reinterpret_cast<const char*>(file);
        FcPatternDestroy(match);

        antialias_ = antialias != FcFalse;
        load_flags_ = FT_LOAD_DEFAULT;
        if (!hinting || hint_style == FC_HINT_NONE)
            load_flags_ |= FT_LOAD_NO_HINTING;
        else if (!antialias_)
            load_flags_ |= FT_LOAD_TARGET_MONO;
        else if (hint_style == FC_HINT_SLIGHT)
            load_flags_ |= FT_LOAD_TARGET_LIGHT;
        if (autohint) load_flags_ |= FT_LOAD_FORCE_AUTOHINT;
        if (!bitmaps) load_flags_ |= FT_LOAD_NO_BITMAP;

        if (FT_Init_FreeType(&library_) != 0) {
            library_ = nullptr;
            why_ = "FreeType could not be initialised";
            return;
        }
        if (FT_New_Face(library_, path.c_str(), index, &face_) != 0) {
            face_ = nullptr;
            why_ = "FreeType cannot open the font " + path;
        }
    }
    ~Font() {
        if (face_) FT_Done_Face(face_);
        if (library_) FT_Done_FreeType(library_);
    }
};

// The code points of a UTF-8 text; a byte that starts no valid sequence
// stands for itself (Latin-1), as FLTK draws it.
std::u32string code_points(const std::string& text) {
    std::u32string out;
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    for (size_t k = 0; k < n;) {
        const unsigned char c = s[k];
        const int extra = c >= 0xC2 && c < 0xE0 ? 1 : c >= 0xE0 && c < 0xF0 ? 2 : c >= 0xF0 && c < 0xF5 ? 3 : 0;
        char32_t code = extra == 1 ? c & 0x1F : extra == 2 ? c & 0x0F : c & 0x07;
        bool valid = extra > 0 && n - k > static_cast<size_t>(extra);
        for (int j = 1; valid && j <= extra; j++) {
            valid = (s[k + j] & 0xC0) == 0x80;
            code = (code << 6) | (s[k + j] & 0x3F);
        }
        if (valid) {
            out.push_back(code);
            k += static_cast<size_t>(extra) + 1;
        } else {
            out.push_back(c);
            k++;
        }
    }
    return out;
}

// Advance of a loaded glyph in whole pixels.
int advance(FT_GlyphSlot glyph) { return static_cast<int>((glyph->advance.x + 32) >> 6); }

}  // namespace

int QN_text_font_size(int px) { return std::max(6, static_cast<int>(std::lround(0.85 * px))); }

bool QN_text_ready(std::string* why) {
    Font& font = Font::get();
    if (!font.ready() && why) *why = font.why();
    return font.ready();
}

int QN_text_width(const std::string& text, int px) {
    Font& font = Font::get();
    if (!font.size(QN_text_font_size(px))) return 0;
    int width = 0;
    for (char32_t code : code_points(text))
        if (font.load(code, false)) width += advance(font.glyph());
    return width + 1;
}

bool QN_text_render(const std::string& text, int px, QN_text_image* out) {
    if (!out) return false;
    Font& font = Font::get();
    const bool sized = font.size(QN_text_font_size(px));
    out->w = std::max(1, sized ? QN_text_width(text, px) : 1);
    out->h = std::max(1, px);
    out->coverage.assign(static_cast<size_t>(out->w) * out->h, 0);
    if (!sized) return false;
    // The baseline, counted in rows from the top of the box.
    const int height = font.ascent() + font.descent();
    const int base = out->h - std::max(0, (out->h - height) / 2) - font.descent();
    int pen = 0;
    for (char32_t code : code_points(text)) {
        if (!font.load(code, true)) continue;
        const FT_GlyphSlot g = font.glyph();
        const FT_Bitmap& bitmap = g->bitmap;
        const int x0 = pen + g->bitmap_left, y0 = base - g->bitmap_top;
        for (unsigned row = 0; row < bitmap.rows; row++) {
            const int y = y0 + static_cast<int>(row);
            if (y < 0 || y >= out->h) continue;
            const unsigned char* line = bitmap.buffer + static_cast<std::ptrdiff_t>(row) * bitmap.pitch;
            for (unsigned col = 0; col < bitmap.width; col++) {
                const int x = x0 + static_cast<int>(col);
                if (x < 0 || x >= out->w) continue;
                unsigned value = 0;
                if (bitmap.pixel_mode == FT_PIXEL_MODE_MONO)
                    value = (line[col / 8] >> (7 - col % 8)) & 1 ? 255 : 0;
                else if (bitmap.pixel_mode == FT_PIXEL_MODE_GRAY)
                    value = bitmap.num_grays > 1 ? line[col] * 255u / (bitmap.num_grays - 1) : line[col];
                else
                    continue;
                unsigned char& c = out->coverage[static_cast<size_t>(y) * out->w + x];
                // Overlapping glyphs add up, as drawing one over the other does.
                c = static_cast<unsigned char>(std::min(255u, c + value - c * value / 255u));
            }
        }
        pen += advance(g);
    }
    return true;
}
