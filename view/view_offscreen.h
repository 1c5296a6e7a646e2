// An OpenGL context without any display: Mesa's EGL "surfaceless" platform
// gives a core-profile context that draws into framebuffer objects only,
// which is all a snapshot needs (quelm-batch on a machine without an X
// server).
#pragma once

#include <string>

class QN_offscreen_context {
public:
    // Makes the context current (and loads the OpenGL functions through
    // GLEW); ok() tells whether that worked, why() what failed when not.
    QN_offscreen_context();
    // Releases the context and the display.
    ~QN_offscreen_context();
    QN_offscreen_context(const QN_offscreen_context&) = delete;
    QN_offscreen_context& operator=(const QN_offscreen_context&) = delete;

    bool ok() const { return ok_; }
    const std::string& why() const { return why_; }

private:
    void* display_ = nullptr;  // EGLDisplay
    void* context_ = nullptr;  // EGLContext
    bool ok_ = false;
    std::string why_;
};
