#include <GL/glew.h>
// glew.h must come before any other OpenGL header.
#include "view/view_offscreen.h"

#include <EGL/egl.h>
#include <EGL/eglext.h>

#include <cstdio>
#include <cstring>

namespace {

std::string egl_error(const char* what) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%04X", static_cast<unsigned>(eglGetError()));
    return std::string(what) + " (EGL error " + code + ")";
}

// Whether the space-separated list `names` holds `name`.
bool listed(const char* names, const char* name) {
    if (!names) return false;
    const size_t n = std::strlen(name);
    for (const char* p = names; (p = std::strstr(p, name)) != nullptr; p += n)
        if ((p == names || p[-1] == ' ') && (p[n] == ' ' || p[n] == '\0')) return true;
    return false;
}

}  // namespace

QN_offscreen_context::QN_offscreen_context() {
    const char* client = eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS);
    if (!listed(client, "EGL_MESA_platform_surfaceless")) {
        why_ = "the EGL library has no surfaceless platform (EGL_MESA_platform_surfaceless)";
        return;
    }
    auto get_display =
        reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(eglGetProcAddress("eglGetPlatformDisplayEXT"));
    if (!get_display) {
        why_ = "the EGL library lacks eglGetPlatformDisplayEXT";
        return;
    }
    EGLDisplay display = get_display(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
    if (display == EGL_NO_DISPLAY) {
        why_ = egl_error("no surfaceless EGL display");
        return;
    }
    EGLint major = 0, minor = 0;
    if (!eglInitialize(display, &major, &minor)) {
        why_ = egl_error("the surfaceless EGL display cannot be initialised");
        return;
    }
    display_ = display;
    if (!eglBindAPI(EGL_OPENGL_API)) {
        why_ = egl_error("the EGL display offers no desktop OpenGL");
        return;
    }
    // Any surface type: the context draws into framebuffer objects only (the
    // default, window surfaces, leaves no configuration on this platform).
    const EGLint config_attributes[] = {EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT, EGL_SURFACE_TYPE, EGL_DONT_CARE,
                                        EGL_NONE};
    EGLConfig config = nullptr;
    EGLint configs = 0;
    if (!eglChooseConfig(display, config_attributes, &config, 1, &configs) || configs < 1) {
        why_ = configs < 1 ? "the EGL display has no OpenGL configuration" : egl_error("eglChooseConfig failed");
        return;
    }
    const EGLint context_attributes[] = {EGL_CONTEXT_MAJOR_VERSION, 3, EGL_CONTEXT_MINOR_VERSION, 3,
                                         EGL_CONTEXT_OPENGL_PROFILE_MASK, EGL_CONTEXT_OPENGL_CORE_PROFILE_BIT,
                                         EGL_NONE};
    EGLContext context = eglCreateContext(display, config, EGL_NO_CONTEXT, context_attributes);
    if (context == EGL_NO_CONTEXT) {
        why_ = egl_error("no OpenGL 3.3 core context");
        return;
    }
    context_ = context;
    if (!eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, context)) {
        why_ = egl_error("the OpenGL context cannot be made current without a surface");
        return;
    }
    // GLEW looks for a GLX display after loading the OpenGL functions and
    // finds none in an EGL context: that result still has every function.
    glewExperimental = GL_TRUE;
    const GLenum status = glewInit();
    glGetError();  // glewInit may leave GL_INVALID_ENUM behind in a core context
    if ((status != GLEW_OK && status != GLEW_ERROR_NO_GLX_DISPLAY) || !glGenFramebuffers || !glCreateShader) {
        char text[96];
        std::snprintf(text, sizeof text, "GLEW could not load the OpenGL functions (glewInit returned %u)", status);
        why_ = text;
        return;
    }
    ok_ = true;
}

QN_offscreen_context::~QN_offscreen_context() {
    if (!display_) return;
    eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
    if (context_) eglDestroyContext(display_, context_);
    eglTerminate(display_);
}
