// Pieces the tests of the Simulation windows share: recorded questions with
// a chosen answer, a fixed path instead of the native chooser, and widgets
// of one type below a group.
#pragma once

#include <FL/Fl.H>
#include <FL/Fl_Group.H>

#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/quelm_shell.h"
#include "gui_window.h"
#include "simulation/frame_template.h"

inline int answer_no(const char*, const char*, const char*) { return 0; }

// Questions asked during a test, with the answer of the current hook.
inline std::vector<std::string> questions;
inline int (*answer)(const char*, const char*, const char*) = answer_yes;
inline int record_question(const char* q, const char* b0, const char* b1) {
    questions.push_back(q ? q : "");
    return answer(q, b0, b1);
}

// The main window opened for a test of the Simulation windows: questions
// recorded and answered "yes", no message left.
inline void open_simulation_window() {
    open_main_window();
    questions.clear();
    answer = answer_yes;
    QN_choice_hook = record_question;
    QN_message("");
    Fl::check();
}

// The frames shipped in config/, each read from its template.
inline void read_shipped_frames(std::vector<std::string>& paths, std::vector<QN_frame_template>& frames) {
    std::string message;
    ASSERT_GT(QN_frame_read_list("config", paths, message), 0) << message;
    for (const std::string& p : paths) {
        QN_frame_template t;
        ASSERT_EQ(QN_frame_read_template(p, t, message), 1) << message;
        frames.push_back(t);
    }
}

// The path every chooser "picks".
inline std::string picked_path;
inline int pick_fixed_path(int, std::string& path) {
    path = picked_path;
    return 1;
}

// Every widget of type T below g, in order.
template <class T>
void collect(Fl_Group* g, std::vector<T*>& out) {
    if (!g) return;
    for (int i = 0; i < g->children(); i++) {
        Fl_Widget* w = g->child(i);
        if (T* t = dynamic_cast<T*>(w)) out.push_back(t);
        collect<T>(w->as_group(), out);
    }
}

// True when the known-hosts file has a key for name ("[127.0.0.1]:2222"),
// plain or hashed, as ssh-keygen finds it.
inline bool known_hosts_has(const std::string& file, const std::string& name) {
    const std::string command = "/usr/bin/ssh-keygen -F '" + name + "' -f '" + file + "' 2>/dev/null";
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[512];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        pclose(p);
    }
    return out.find("found") != std::string::npos;
}

// HOME pointed at a folder (created) while alive, so known_hosts lands there.
class ScopedHome {
public:
    ScopedHome() = default;
    ~ScopedHome() { restore(); }
    ScopedHome(const ScopedHome&) = delete;
    ScopedHome& operator=(const ScopedHome&) = delete;
    void set(const std::string& home) {
        std::filesystem::create_directories(home);
        if (!set_) {
            const char* old = getenv("HOME");
            had_ = old != nullptr;
            if (old) old_ = old;
            const char* xdg = getenv("XDG_CONFIG_HOME");
            had_xdg_ = xdg != nullptr;
            if (xdg) old_xdg_ = xdg;
        }
        setenv("HOME", home.c_str(), 1);
        // The recent servers go below the scratch home too.
        unsetenv("XDG_CONFIG_HOME");
        set_ = true;
    }
    void restore() {
        if (set_ && had_) setenv("HOME", old_.c_str(), 1);
        else if (set_) unsetenv("HOME");
        if (set_ && had_xdg_) setenv("XDG_CONFIG_HOME", old_xdg_.c_str(), 1);
        set_ = false;
    }

private:
    std::string old_, old_xdg_;
    bool had_ = false, had_xdg_ = false, set_ = false;
};
