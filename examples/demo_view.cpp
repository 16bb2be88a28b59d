// SPDX-License-Identifier: MIT
#include "demo_view.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

namespace {
// The live view keeps the last few events on screen instead of scrolling.
constexpr std::size_t kEventsShown = 5;

// Set by SIGWINCH; the next redraw reads the width again.
volatile std::sig_atomic_t g_resized = 0;
struct sigaction g_previousWinch;

extern "C" void onResize(int)
{
    g_resized = 1;
}
} // namespace

DemoView::DemoView(bool live, std::FILE* out) : m_live(live), m_out(out), m_start(std::chrono::steady_clock::now())
{
    if (!m_live)
        return;
    readWidth();
    struct sigaction action {};
    action.sa_handler = onResize;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGWINCH, &action, &g_previousWinch);
}

DemoView::~DemoView()
{
    if (m_live)
        ::sigaction(SIGWINCH, &g_previousWinch, nullptr);
}

bool DemoView::readWidth()
{
    g_resized = 0;
    winsize size{};
    const int columns = ::ioctl(::fileno(m_out), TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
    const bool changed = columns != m_columns;
    m_columns = columns;
    return changed;
}

std::string DemoView::fitted(const std::string& text, int columns)
{
    if (columns <= 0)
        return text;
    int taken = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80)
            continue;   // inside a character
        if (taken == columns)
            return text.substr(0, i);
        ++taken;
    }
    return text;
}

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
    // After a change of width the terminal may have wrapped the old lines
    // anew, so counting them back up is no longer sure: the screen is
    // cleared and the view starts at its top.
    if (g_resized && readWidth() && m_drawnLines > 0) {
        std::fputs("\033[H\033[2J", m_out);
        m_drawnLines = 0;
    }
    // Back to the first line of the previous drawing, then every line is
    // cleared and written again: the view stays where it is on the screen.
    if (m_drawnLines > 0)
        std::fprintf(m_out, "\033[%dA", m_drawnLines);
    // One column is left free: some terminals move to the next line as soon
    // as the last column is written.
    const int width = m_columns > 1 ? m_columns - 1 : 0;
    int lines = 0;
    auto line = [this, &lines, width](const std::string& text) {
        std::fprintf(m_out, "\r\033[2K%s\n", fitted(text, width).c_str());
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
