#include "view/view_image.h"

#include <jpeglib.h>
#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "qb/qb_file.h"
#include "qb/qb_text.h"

namespace {

bool valid_image(int W, int H, const void* pixels) {
    return W > 0 && H > 0 && pixels != nullptr;
}

size_t row_bytes(int W) { return static_cast<size_t>(W) * 3; }

// ---- PNG -----------------------------------------------------------------

// Only trivially destructible locals live here: libpng leaves by longjmp.
bool png_encode(FILE* f, int W, int H, const unsigned char* rgb) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png) {
        std::printf("ERROR:png_create_write_struct/n");
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (!info) {
        std::printf("ERROR:png_create_info_struct/n");
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, static_cast<png_uint_32>(W), static_cast<png_uint_32>(H), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int k = H - 1; k >= 0; k--) png_write_row(png, rgb + static_cast<size_t>(k) * row_bytes(W));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

// ---- JPEG ----------------------------------------------------------------

struct jpeg_failure {
    jpeg_error_mgr mgr;
    jmp_buf jump;
};

// Replaces libjpeg's exit(): report, then return to the writer.
void jpeg_fail(j_common_ptr cinfo) {
    (*cinfo->err->output_message)(cinfo);
    std::longjmp(reinterpret_cast<jpeg_failure*>(cinfo->err)->jump, 1);
}

bool jpeg_encode(FILE* f, int W, int H, const unsigned char* rgb, int quality) {
    jpeg_compress_struct cinfo;
    jpeg_failure err;
    std::memset(&cinfo, 0, sizeof(cinfo));
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = jpeg_fail;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, f);
    cinfo.image_width = static_cast<JDIMENSION>(W);
    cinfo.image_height = static_cast<JDIMENSION>(H);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        const size_t row = static_cast<size_t>(H) - 1 - cinfo.next_scanline;
        JSAMPROW line = const_cast<JSAMPROW>(rgb + row * row_bytes(W));
        jpeg_write_scanlines(&cinfo, &line, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

// ---- BMP -----------------------------------------------------------------

// Writes values by a field-format text: '1' one byte, '2' a 16-bit and '4' a
// 32-bit little-endian value; blanks are skipped.
void QNBMP_writefv(FILE* f, const char* fmt, va_list v) {
    for (; *fmt; fmt++) {
        unsigned char b[4];
        switch (*fmt) {
            case '1':
                b[0] = static_cast<unsigned char>(va_arg(v, int));
                std::fwrite(b, 1, 1, f);
                break;
            case '2': {
                const uint32_t x = static_cast<uint32_t>(va_arg(v, int));
                b[0] = static_cast<unsigned char>(x);
                b[1] = static_cast<unsigned char>(x >> 8);
                std::fwrite(b, 1, 2, f);
                break;
            }
            case '4': {
                const uint32_t x = static_cast<uint32_t>(va_arg(v, int));
                for (int k = 0; k < 4; k++) b[k] = static_cast<unsigned char>(x >> (8 * k));
                std::fwrite(b, 1, 4, f);
                break;
            }
            default:
                break;
        }
    }
}

void QNBMP_writef(FILE* f, const char* fmt, ...) {
    va_list v;
    va_start(v, fmt);
    QNBMP_writefv(f, fmt, v);
    va_end(v);
}

// Creates the file, writes the header and the rows. `top_first` says that
// row 0 of `rgb` is the top row of the picture; rows are stored bottom first.
bool QNBMP_outfile(const std::string& path, int W, int H, const unsigned char* rgb, bool top_first) {
    const uint64_t pad = static_cast<uint64_t>(W % 4);
    const uint64_t size = 54 + static_cast<uint64_t>(H) * (3 * static_cast<uint64_t>(W) + pad);
    if (size > INT32_MAX) return false;  // beyond what the 32-bit header fields hold
    QB_output_file out(path);
    if (!out) return false;
    FILE* f = out.get();
    QNBMP_writef(f, "11 4 22 44 44 22 444444", 'B', 'M', static_cast<int>(size), 0, 0, 54, 40, W, H,
                 1, 24, 0, 0, 0, 0, 0, 0);
    std::vector<unsigned char> line(row_bytes(W) + pad, 0);
    for (int r = 0; r < H; r++) {
        const int src = top_first ? H - 1 - r : r;
        const unsigned char* p = rgb + static_cast<size_t>(src) * row_bytes(W);
        for (int i = 0; i < W; i++) {
            line[3 * static_cast<size_t>(i)] = p[3 * static_cast<size_t>(i) + 2];
            line[3 * static_cast<size_t>(i) + 1] = p[3 * static_cast<size_t>(i) + 1];
            line[3 * static_cast<size_t>(i) + 2] = p[3 * static_cast<size_t>(i)];
        }
        if (std::fwrite(line.data(), 1, line.size(), f) != line.size()) return false;
    }
    return out.commit();
}

}  // namespace

bool QN_snapshot_too_large(double W, double H, double S) { return W * H * S * S > 3.6e7; }

int QN_reduce_frame(const unsigned char* frame, int W, int H, int S, int B, unsigned char* out,
                    const std::function<void(int percent)>& progress) {
    if (!frame || !out || W <= 0 || H <= 0) return QN_IMAGE_BAD_ARGUMENT;
    if (S < 1 || S > QN_SNAPSHOT_MAX_SCALE || B < 0 || B > QN_SNAPSHOT_MAX_BLUR)
        return QN_IMAGE_BAD_ARGUMENT;
    if (W > QN_SNAPSHOT_MAX_SIDE / S || H > QN_SNAPSHOT_MAX_SIDE / S) return QN_IMAGE_BAD_ARGUMENT;
    const int SW = S * W, SH = S * H;
    const size_t frame_row = row_bytes(SW);

    // Column sums over the rows of the current window, then their running
    // sums along the row; both fit 32 bits for the limits above.
    std::vector<uint32_t> column(static_cast<size_t>(SW) * 3, 0);
    std::vector<uint32_t> prefix((static_cast<size_t>(SW) + 1) * 3, 0);
    int lo = 0, hi = 0;  // rows [lo, hi) are in `column`
    for (int j = 0; j < H; j++) {
        const int want_lo = std::max(0, S * j - B);
        const int want_hi = std::min(SH, S * j + S + B);
        for (; hi < want_hi; hi++) {
            const unsigned char* p = frame + static_cast<size_t>(hi) * frame_row;
            for (size_t k = 0; k < column.size(); k++) column[k] += p[k];
        }
        for (; lo < want_lo; lo++) {
            const unsigned char* p = frame + static_cast<size_t>(lo) * frame_row;
            for (size_t k = 0; k < column.size(); k++) column[k] -= p[k];
        }
        for (size_t x = 0; x < static_cast<size_t>(SW); x++)
            for (int c = 0; c < 3; c++) prefix[3 * (x + 1) + c] = prefix[3 * x + c] + column[3 * x + c];
        const uint32_t rows = static_cast<uint32_t>(hi - lo);
        unsigned char* o = out + static_cast<size_t>(j) * row_bytes(W);
        for (int i = 0; i < W; i++) {
            const int x0 = std::max(0, S * i - B);
            const int x1 = std::min(SW, S * i + S + B);
            const uint32_t count = rows * static_cast<uint32_t>(x1 - x0);
            for (int c = 0; c < 3; c++) {
                const uint32_t sum = prefix[3 * static_cast<size_t>(x1) + c] - prefix[3 * static_cast<size_t>(x0) + c];
                o[3 * static_cast<size_t>(i) + c] = static_cast<unsigned char>(sum / count);
            }
        }
        if (progress && (j % 20 == 0 || j == H - 1)) progress(100 * (j + 1) / H);
    }
    return QN_IMAGE_OK;
}

int QN_write_png(const std::string& path, int W, int H, const unsigned char* rgb) {
    if (path.empty() || !valid_image(W, H, rgb)) return QN_IMAGE_BAD_ARGUMENT;
    QB_output_file out(path);
    if (!out) return QN_IMAGE_WRITE_FAILED;
    if (!png_encode(out.get(), W, H, rgb)) return QN_IMAGE_WRITE_FAILED;
    return out.commit() ? QN_IMAGE_OK : QN_IMAGE_WRITE_FAILED;
}

int QN_write_jpeg(const std::string& path, int W, int H, const unsigned char* rgb, int quality) {
    if (path.empty() || !valid_image(W, H, rgb)) return QN_IMAGE_BAD_ARGUMENT;
    quality = std::min(100, std::max(1, quality));
    QB_output_file out(path);
    if (!out) {
        std::printf("open file %s failed.\n", path.c_str());
        return QN_IMAGE_WRITE_FAILED;
    }
    if (!jpeg_encode(out.get(), W, H, rgb, quality)) return QN_IMAGE_WRITE_FAILED;
    return out.commit() ? QN_IMAGE_OK : QN_IMAGE_WRITE_FAILED;
}

int QN_write_bmp(const std::string& path, int W, int H, const unsigned char* rgb) {
    if (path.empty() || !valid_image(W, H, rgb)) return QN_IMAGE_BAD_ARGUMENT;
    return QNBMP_outfile(path, W, H, rgb, false) ? QN_IMAGE_OK : QN_IMAGE_WRITE_FAILED;
}

int QNBMP_stbi_write_bmp(const char* name, int W, int H, int components, const void* pixels) {
    if (!name || !*name || components != 3 || !valid_image(W, H, pixels)) return 0;
    return QNBMP_outfile(name, W, H, static_cast<const unsigned char*>(pixels), true) ? 1 : 0;
}

int Quelm_dump_img(const char* path, int sizex, int sizey, int phix, int phiy, int phiz,
                   int viewer) {
    if (!path || !*path) return QN_IMAGE_BAD_ARGUMENT;
    std::string text;
    text += QB_format("%d # viewer\n", viewer);
    text += "1 # color \n";
    text += "0 # back_R\n";
    text += "0 # back_G\n";
    text += "0 # back_B\n";
    text += "1 # metal\n";
    text += "cm_weather # colormap\n";
    text += "2  # anti alias\n";
    text += "7 # lightpos\n";
    text += QB_format("%d # sizey\n", sizey);
    text += QB_format("%d # sizex\n", sizex);
    text += "1.0 #zoom\n";
    text += "1 # cylinderbox\n";
    text += "0.5  # cylinderboxrad\n";
    text += "20 # cylinderboxmat\n";
    text += "14 # cylindermat\n";
    text += "102 # sphere\n";
    text += "0  # spheremat\n";
    text += "1.5 # radius\n";
    text += "0.0 # attmin\n";
    text += "1.0  # attmax\n";
    text += "1  # sphere_at_end_cylinder\n";
    text += "4 # input\n";
    text += "0 # use_material_sphere\n";
    text += QB_format("%d  # phix\n", phix);
    text += QB_format("%d  # phiy\n", phiy);
    text += QB_format("%d  # phiz\n", phiz);
    text += "0 # stride\n";
    text += "0 # shadow\n";
    text += "1 # user\n";
    text += "0 # headlight\n";
    text += "0 # coordsys\n";
    QB_output_file out(path);
    if (!out) return QN_IMAGE_WRITE_FAILED;
    if (std::fwrite(text.data(), 1, text.size(), out.get()) != text.size())
        return QN_IMAGE_WRITE_FAILED;
    return out.commit() ? QN_IMAGE_OK : QN_IMAGE_WRITE_FAILED;
}
