// Image side of the view's snapshots, without OpenGL: reducing a supersampled
// frame to the requested size, the PNG, JPEG and BMP writers and the
// image-settings file of the remote renderer.
//
// Pixel buffers are 8-bit RGB, 3 bytes per pixel, rows tightly packed
// (3 W bytes per row). Unless a function says otherwise, row 0 is the BOTTOM
// row of the picture, the order in which OpenGL reads a frame back.
//
// Every file goes through QB_output_file: it is written under a temporary name
// and renamed over the target only when complete, so a failed write leaves an
// existing file as it was.
#pragma once

#include <functional>
#include <string>

// Results of the writers and of the reduction.
constexpr int QN_IMAGE_OK = 1;
constexpr int QN_IMAGE_BAD_ARGUMENT = -1;  // size, scale, blur, buffer or name not acceptable
constexpr int QN_IMAGE_WRITE_FAILED = -2;  // the file could not be created or written

// Limits of a snapshot: supersampling factor S, blur margin B, and the side of
// the supersampled frame.
constexpr int QN_SNAPSHOT_MAX_SCALE = 10;
constexpr int QN_SNAPSHOT_MAX_BLUR = 10;
constexpr int QN_SNAPSHOT_MAX_SIDE = 65536;

// True when a snapshot of W x H at scale S asks for more than 3.6e7
// supersampled pixels (W H S^2, in floating point from the inputs).
bool QN_snapshot_too_large(double W, double H, double S);

// Reduces a supersampled frame of (S W) x (S H) pixels to W x H. Output pixel
// (i, j) is, per channel, the integer quotient sum / count over the window of
// (S + 2B) x (S + 2B) frame pixels whose lower-left pixel is (S i - B,
// S j - B), counting only the pixels of the window that lie inside the frame:
// the window is clipped at the left and right ends of each row (it never takes
// pixels from a neighbouring row) and at the top and bottom. Row 0 of frame
// and out is the bottom row. S must be 1 ... 10, B 0 ... 10, S W and S H at
// most QN_SNAPSHOT_MAX_SIDE. `progress`, when given, receives a percentage as
// the rows are done. Returns QN_IMAGE_OK or QN_IMAGE_BAD_ARGUMENT (out
// untouched).
int QN_reduce_frame(const unsigned char* frame, int W, int H, int S, int B, unsigned char* out,
                    const std::function<void(int percent)>& progress = {});

// PNG, 8-bit RGB, no interlacing; `rgb` bottom row first (the file stores the
// top row first).
int QN_write_png(const std::string& path, int W, int H, const unsigned char* rgb);

// Baseline JPEG of the given quality (1 ... 100); `rgb` bottom row first (the
// file stores the top row first). Errors of libjpeg return
// QN_IMAGE_WRITE_FAILED instead of ending the program.
int QN_write_jpeg(const std::string& path, int W, int H, const unsigned char* rgb,
                  int quality = 95);

// 24-bit BMP; `rgb` bottom row first, which is the order the file stores.
int QN_write_bmp(const std::string& path, int W, int H, const unsigned char* rgb);

// 24-bit BMP from a buffer whose row 0 is the TOP row of the picture (the rows
// are stored from the last buffer row to the first). Header: 'B', 'M', file
// size 54 + H (3 W + W mod 4), 0, 0, 54, 40, W, H, 1, 24, then six zeros;
// pixels blue, green, red; each row followed by W mod 4 zero bytes.
// `components` must be 3. Returns 1 when written, 0 otherwise.
int QNBMP_stbi_write_bmp(const char* name, int W, int H, int components, const void* pixels);

// Writes the 32-line image-settings file read by the remote renderer. Returns
// QN_IMAGE_OK, QN_IMAGE_BAD_ARGUMENT for a missing path or
// QN_IMAGE_WRITE_FAILED.
int Quelm_dump_img(const char* path, int sizex, int sizey, int phix, int phiy, int phiz,
                   int viewer);
