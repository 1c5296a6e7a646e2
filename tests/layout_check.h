// Walks a shown window's widget tree and lists what a user would see as
// broken layout: a widget or its outside label leaving its window or its
// group, two siblings (or a sibling and a label) overlapping, a button's
// label or a choice's item wider than the widget shows. Needs a display (the
// fonts are measured).
#pragma once

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Input_.H>
#include <FL/Fl_Light_Button.H>
#include <FL/Fl_Menu_Bar.H>
#include <FL/Fl_Scroll.H>
#include <FL/Fl_Tabs.H>
#include <FL/Fl_Text_Display.H>
#include <FL/Fl_Tile.H>
#include <FL/Fl_Valuator.H>
#include <FL/Fl_Window.H>
#include <FL/fl_draw.H>

#include <algorithm>
#include <string>
#include <vector>

namespace layout {

struct Rect {
    int x = 0, y = 0, w = 0, h = 0;
    bool empty() const { return w <= 0 || h <= 0; }
    bool inside(const Rect& o) const { return x >= o.x && y >= o.y && x + w <= o.x + o.w && y + h <= o.y + o.h; }
    int overlap(const Rect& o) const {
        const int ow = std::min(x + w, o.x + o.w) - std::max(x, o.x);
        const int oh = std::min(y + h, o.y + o.h) - std::max(y, o.y);
        return ow > 0 && oh > 0 ? ow * oh : 0;
    }
};

inline std::string name_of(const Fl_Widget* w) {
    std::string n = w->label() && *w->label() ? std::string("\"") + w->label() + "\"" : "(unlabelled)";
    if (w->tooltip() && !(w->label() && *w->label())) n += std::string(" [") + w->tooltip() + "]";
    if (!(w->label() && *w->label()))
        n += " at " + std::to_string(w->x()) + "," + std::to_string(w->y()) + " " + std::to_string(w->w()) + "x" +
             std::to_string(w->h());
    return n;
}

inline int text_width(const char* text, Fl_Font font, int size) {
    if (!text || !*text) return 0;
    fl_font(font, size);
    int tw = 0, th = 0;
    fl_measure(text, tw, th, 1);  // "@symbol" labels are drawn as symbols
    return tw;
}

// The rectangle of a label drawn outside its widget (empty for inside labels).
inline Rect label_rect(const Fl_Widget* w) {
    if (!w->label() || !*w->label() || (w->align() & FL_ALIGN_INSIDE) || w->labeltype() == FL_NO_LABEL) return {};
    // Buttons, boxes and groups draw their labels inside unless told otherwise.
    const Fl_Align a = w->align();
    const bool sides = a & (FL_ALIGN_LEFT | FL_ALIGN_RIGHT | FL_ALIGN_TOP | FL_ALIGN_BOTTOM);
    if (!sides) return {};
    fl_font(w->labelfont(), w->labelsize());
    int tw = 0, th = 0;
    fl_measure(w->label(), tw, th, 1);
    const bool left = (a & FL_ALIGN_LEFT) && !(a & FL_ALIGN_TOP) && !(a & FL_ALIGN_BOTTOM);
    const bool right = (a & FL_ALIGN_RIGHT) && !(a & FL_ALIGN_TOP) && !(a & FL_ALIGN_BOTTOM);
    if (left) return {w->x() - tw - 2, w->y() + (w->h() - th) / 2, tw, th};
    if (right) return {w->x() + w->w() + 2, w->y() + (w->h() - th) / 2, tw, th};
    int x = w->x();
    if (!(a & FL_ALIGN_LEFT)) x = (a & FL_ALIGN_RIGHT) ? w->x() + w->w() - tw : w->x() + (w->w() - tw) / 2;
    if (a & FL_ALIGN_TOP) return {x, w->y() - th, tw, th};
    return {x, w->y() + w->h(), tw, th};
}

inline Rect rect_of(const Fl_Widget* w) { return {w->x(), w->y(), w->w(), w->h()}; }

// Children whose frames and backgrounds are only decoration.
inline bool decoration(const Fl_Widget* w) {
    return dynamic_cast<const Fl_Box*>(w) && (!w->label() || !*w->label());
}

class Checker {
public:
    std::vector<std::string> problems;

    void window(Fl_Window* win) {
        window_ = rect_of(win);
        window_.x = window_.y = 0;  // children are in window coordinates
        group(win, window_, true, false);
    }

private:
    Rect window_;

    void problem(const std::string& text) { problems.push_back(text); }

    void own_text(Fl_Widget* w) {
        // A label drawn inside a button must fit it.
        if (auto* b = dynamic_cast<Fl_Button*>(w)) {
            if (b->label() && *b->label() && b->label()[0] != '@' && !b->image() && (b->align() & FL_ALIGN_INSIDE || !(b->align() & 15))) {
                const int tw = text_width(b->label(), b->labelfont(), b->labelsize());
                // Round and check buttons draw their mark, about the label's size, first.
                const bool mark = dynamic_cast<Fl_Light_Button*>(b) != nullptr;
                const int room = b->w() - (mark ? b->labelsize() + 8 : 4);
                if (tw > room) problem(name_of(b) + " is cut: its label needs " + std::to_string(tw) + " pixels");
            }
        }
        // Every item of a choice must show whole.
        if (auto* c = dynamic_cast<Fl_Choice*>(w)) {
            for (int i = 0; i < c->size(); i++) {
                const Fl_Menu_Item& m = c->menu()[i];
                if (!m.label()) continue;
                const int tw = text_width(m.label(), c->textfont(), c->textsize());
                if (tw > c->w() - 22)
                    problem(name_of(c) + " cuts its item \"" + m.label() + "\" (" + std::to_string(tw) + " pixels)");
            }
        }
    }

    // Inside a scrolling group, contents may reach beyond the window: the
    // user scrolls to them.
    void group(Fl_Group* g, const Rect& area, bool is_window, bool in_scroll) {
        const bool scrolls = dynamic_cast<Fl_Scroll*>(g) != nullptr;
        const bool tabs = dynamic_cast<Fl_Tabs*>(g) != nullptr;
        std::vector<std::pair<Rect, Fl_Widget*>> taken;
        for (int i = 0; i < g->children(); i++) {
            Fl_Widget* w = g->child(i);
            if (!w->visible()) continue;
            if (scrolls && (w == &static_cast<Fl_Scroll*>(g)->scrollbar || w == &static_cast<Fl_Scroll*>(g)->hscrollbar))
                continue;
            const Rect r = rect_of(w);
            const Rect l = label_rect(w);
            if (r.empty()) continue;
            if (!scrolls) {
                if (!in_scroll && !r.inside(window_)) problem(name_of(w) + " leaves the window");
                else if (!is_window && !r.inside(area)) problem(name_of(w) + " leaves its group " + name_of(g));
                if (!l.empty() && !in_scroll && !l.inside(window_))
                    problem("the label of " + name_of(w) + " leaves the window");
                else if (!l.empty() && !is_window && !l.inside(area))
                    problem("the label of " + name_of(w) + " leaves its group " + name_of(g));
            }
            own_text(w);
            if (!decoration(w) && !tabs) {
                for (const auto& t : taken) {
                    if (r.overlap(t.first) > 0)
                        problem(name_of(w) + " overlaps " + name_of(t.second));
                    else if (!l.empty() && l.overlap(t.first) > 0)
                        problem("the label of " + name_of(w) + " overlaps " + name_of(t.second));
                }
                taken.push_back({r, w});
                if (!l.empty()) taken.push_back({l, w});
            }
            Fl_Group* inner = w->as_group();
            if (inner && !dynamic_cast<Fl_Window*>(w) && !dynamic_cast<Fl_Text_Display*>(w))
                group(inner, r, false, in_scroll || scrolls);
        }
    }
};

// The problems of every widget of a shown window, one text each.
inline std::vector<std::string> problems_of(Fl_Window* win) {
    Checker c;
    c.window(win);
    return c.problems;
}

// The problems of the branch of `win` that holds `part` (a tab's form, say):
// every sibling along the way up is hidden while it looks, so other tabs'
// contents and the rest of the window are left out.
inline std::vector<std::string> problems_within(Fl_Window* win, Fl_Widget* part) {
    std::vector<Fl_Widget*> hidden;
    for (Fl_Widget* w = part; w && w->parent() && w != win; w = w->parent()) {
        Fl_Group* g = w->parent();
        for (int i = 0; i < g->children(); i++) {
            Fl_Widget* c = g->child(i);
            if (c == w || !c->visible()) continue;
            c->hide();
            hidden.push_back(c);
        }
    }
    std::vector<std::string> found = problems_of(win);
    for (Fl_Widget* c : hidden) c->show();
    return found;
}

inline std::string joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const std::string& l : lines) all += l + "\n";
    return all;
}

}  // namespace layout
