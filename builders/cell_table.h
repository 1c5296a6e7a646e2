// A table whose cells are widgets, one per cell, under titled columns and
// numbered rows: the base of the builders' grain table and scan table.
#pragma once

#include <FL/Fl_Table.H>

#include <functional>
#include <string>
#include <vector>

class QN_cell_table : public Fl_Table {
public:
    QN_cell_table(int x, int y, int w, int h, const char* label, int columns, const std::string* titles);

protected:
    // Empties the table and makes n rows; make(row, column, X, Y, W, H)
    // makes the widget of each cell at its place.
    void fill_rows(int n, const std::function<Fl_Widget*(int, int, int, int, int, int)>& make);
    // The widget of a cell, or null.
    Fl_Widget* cell_widget(int row, int column) const;
    void draw_cell(TableContext context, int R = 0, int C = 0, int X = 0, int Y = 0, int W = 0, int H = 0) override;

private:
    const int columns_;
    const std::string* titles_;  // columns_ of them, owned by the derived table
    // The cell widgets, row after row (the table's own child list also
    // holds its scroll bars).
    std::vector<Fl_Widget*> cells_;
};
