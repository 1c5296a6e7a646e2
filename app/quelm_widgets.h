// Small widgets the forms share.
#pragma once

#include <FL/Fl_Input.H>

#include <string>

// A text input that shows a greyed hint while it is empty and has not the
// keyboard focus ("user@cluster", "/scratch/me/run"), in place of a made-up
// value that the user would have to delete first.
class QN_hint_input : public Fl_Input {
public:
    QN_hint_input(int x, int y, int w, int h, const char* label = nullptr) : Fl_Input(x, y, w, h, label) {}
    void hint(const std::string& text) {
        hint_ = text;
        redraw();
    }
    const std::string& hint() const { return hint_; }

protected:
    void draw() override;

private:
    std::string hint_;
};

// Values that older status files store for "nothing chosen"; a field shows
// them as empty (with its hint).
bool QN_is_placeholder(const std::string& value);
