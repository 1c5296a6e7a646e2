#include "builders/cell_table.h"

#include <FL/fl_draw.H>

QN_cell_table::QN_cell_table(int x, int y, int w, int h, const char* label, int columns, const std::string* titles)
    : Fl_Table(x, y, w, h, label), columns_(columns), titles_(titles) {
    rows(0);
    cols(columns_);
    col_header(1);
    col_header_height(25);
    row_header(1);
    row_header_width(60);
    col_width_all(80);
    row_height_all(20);
    end();
}

void QN_cell_table::fill_rows(int n, const std::function<Fl_Widget*(int, int, int, int, int, int)>& make) {
    cells_.clear();
    clear();
    rows(n);
    cols(columns_);
    row_height_all(20);
    col_width_all(80);
    Fl_Group* const current = Fl_Group::current();
    begin();
    for (int r = 0; r < n; r++)
        for (int c = 0; c < columns_; c++) {
            int X = 0, Y = 0, W = 0, H = 0;
            find_cell(CONTEXT_TABLE, r, c, X, Y, W, H);
            cells_.push_back(make(r, c, X, Y, W, H));
        }
    end();
    Fl_Group::current(current);
    redraw();
}

Fl_Widget* QN_cell_table::cell_widget(int row, int column) const {
    if (row < 0 || column < 0 || column >= columns_) return nullptr;
    const size_t index = static_cast<size_t>(columns_) * static_cast<size_t>(row) + static_cast<size_t>(column);
    return index < cells_.size() ? cells_[index] : nullptr;
}

void QN_cell_table::draw_cell(TableContext context, int R, int C, int X, int Y, int W, int H) {
    switch (context) {
        case CONTEXT_STARTPAGE:
            fl_font(FL_HELVETICA, 16);
            return;
        case CONTEXT_RC_RESIZE: {
            size_t index = 0;
            for (int r = 0; r < rows(); r++)
                for (int c = 0; c < cols() && index < cells_.size(); c++) {
                    int x = 0, y = 0, w = 0, h = 0;
                    find_cell(CONTEXT_TABLE, r, c, x, y, w, h);
                    cells_[index++]->resize(x, y, w, h);
                }
            init_sizes();
            return;
        }
        case CONTEXT_ROW_HEADER:
        case CONTEXT_COL_HEADER: {
            const bool row = context == CONTEXT_ROW_HEADER;
            const std::string text =
                row ? std::to_string(R + 1) : (C >= 0 && C < columns_ ? titles_[C] : std::string());
            fl_push_clip(X, Y, W, H);
            fl_draw_box(FL_THIN_UP_BOX, X, Y, W, H, row ? row_header_color() : col_header_color());
            fl_color(FL_BLACK);
            fl_draw(text.c_str(), X, Y, W, H, FL_ALIGN_CENTER);
            fl_pop_clip();
            return;
        }
        default:
            return;  // the cell widgets draw themselves
    }
}
