// SPDX-License-Identifier: MIT
#include "demo_view.h"

#include <cstdio>

namespace {
// The live view keeps the last few events on screen instead of scrolling.
constexpr std::size_t kEventsShown = 5;
}

DemoView::DemoView(bool live, std::FILE* out) : m_live(live), m_out(out), m_start(std::chrono::steady_clock::now()) {}

double DemoView::elapsed() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
}

void DemoView::event(const std::string& text)
{
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "[%7.3f] ", elapsed());
    if (!m_live) {
        std::fprintf(m_out, "%s%s\n", stamp, text.c_str());
        std::fflush(m_out);
        return;
    }
    m_events.push_back(stamp + text);
    while (m_events.size() > kEventsShown)
        m_events.pop_front();
    redraw();
}

void DemoView::show(const std::vector<std::string>& rows)
{
    m_rows = rows;
    if (m_live) {
        redraw();
        return;
    }
    const double now = elapsed();
    if (m_lastPlain >= 0 && now - m_lastPlain < 1.0)
        return;
    m_lastPlain = now;
    for (const std::string& row : rows)
        std::fprintf(m_out, "[%7.3f] %s\n", now, row.c_str());
    std::fflush(m_out);
}

void DemoView::redraw()
{
    // Back to the first line of the previous drawing, then every line is
    // cleared and written again: the view stays where it is on the screen.
    if (m_drawnLines > 0)
        std::fprintf(m_out, "\033[%dA", m_drawnLines);
    int lines = 0;
    auto line = [this, &lines](const std::string& text) {
        std::fprintf(m_out, "\r\033[2K%s\n", text.c_str());
        ++lines;
    };
    for (const std::string& row : m_rows)
        line(row);
    line("events:");
    for (std::size_t i = 0; i < kEventsShown; ++i)
        line(i < m_events.size() ? "  " + m_events[i] : std::string());
    m_drawnLines = lines;
    std::fflush(m_out);
}

void DemoView::finish()
{
    if (m_live)
        redraw();
    m_drawnLines = 0;
}
