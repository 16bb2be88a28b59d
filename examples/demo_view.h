// SPDX-License-Identifier: MIT
#ifndef DEMO_VIEW_H
#define DEMO_VIEW_H

#include <chrono>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

// What the panel shows: on a terminal a view that redraws in place, otherwise
// plain lines with a timestamp, one for each event and one a second for the
// values, so that a log or CI keeps the whole story.
//
// A live line longer than the terminal is wide would wrap, and each redraw
// would then start lower than the one before: every line is cut to the
// width, read at the start and again when the terminal says it changed
// (SIGWINCH).
class DemoView {
public:
    // Writes to `out`; `live` redraws in place (for a terminal).
    DemoView(bool live, std::FILE* out);
    ~DemoView();
    DemoView(const DemoView&) = delete;
    DemoView& operator=(const DemoView&) = delete;

    // Seconds since the view was made.
    double elapsed() const;
    // Something happened: an error, a reconnect, an edit, a read-back.
    void event(const std::string& text);
    // The current state, one line per row. In live mode the rows replace the
    // previous ones in place; in plain mode they are written at most once a
    // second.
    void show(const std::vector<std::string>& rows);
    // Leaves the live view so that what follows is written below it.
    void finish();
    std::FILE* out() const { return m_out; }

    // `text` cut to at most `columns` characters (UTF-8 sequences kept whole).
    static std::string fitted(const std::string& text, int columns);

private:
    void redraw();
    // Reads the terminal's width; answers whether it changed.
    bool readWidth();

    bool m_live;
    std::FILE* m_out;
    std::chrono::steady_clock::time_point m_start;
    std::vector<std::string> m_rows;
    std::deque<std::string> m_events;
    int m_drawnLines = 0;
    double m_lastPlain = -1.0;
    int m_columns = 0;   // the terminal's width, 0 when it does not say
};

#endif
