// Texts of the view's legend without a window toolkit: the font fontconfig
// gives for "sans" (the face FLTK's Helvetica maps to), measured and
// rasterised with FreeType, so that the window and quelm-batch draw the same
// labels.
//
// Sizes are given as the height `px` of the text's line box; the font is
// 0.85 px pixels high (at least 6). The font is looked up once per process.
#pragma once

#include <string>
#include <vector>

// A rasterised text: w x h bytes of coverage (0 nothing, 255 fully inked),
// the first row at the top of the line box.
struct QN_text_image {
    int w = 0, h = 0;
    std::vector<unsigned char> coverage;
};

// Pixel size of the font for a line box px pixels high.
int QN_text_font_size(int px);

// Whether the font was found and opened; otherwise false and `why` (when
// given) says what is missing.
bool QN_text_ready(std::string* why = nullptr);

// Width in pixels of `text` (UTF-8) in a line box px pixels high: the sum of
// the glyphs' advances plus one pixel; 0 when there is no font. Has the shape
// of the legend layout's width callback.
int QN_text_width(const std::string& text, int px);

// Rasterises `text` into a line box of QN_text_width x px pixels (at least
// 1 x 1), its baseline where FLTK puts it: the line centred in the box, the
// font's descent below the baseline. False, and an empty (all 0) image of
// at least 1 x 1, when there is no font.
bool QN_text_render(const std::string& text, int px, QN_text_image* out);
