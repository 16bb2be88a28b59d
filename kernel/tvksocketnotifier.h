// SPDX-License-Identifier: MIT
#ifndef TVKSOCKETNOTIFIER_H
#define TVKSOCKETNOTIFIER_H

#include "tvkobject.h"

namespace Quorvan {

// Watches one socket through the dispatcher of its thread and emits
// "activated" with the socket each time it is ready: readable (Read), or
// able to take more data (Write, as for a connect that completes).
class TVK_DECL_EXPORT CtvkSocketNotifier : public CtvkObject {
public:
    enum Type { Read = 0, Write = 1 };

    CtvkSocketNotifier(int socket, int type, CtvkObject* parent = nullptr);
    ~CtvkSocketNotifier() override;

    bool event(CtvkEvent* e) override;
    bool tvk_metacall(CtvkMetaProperty::Call call, const char* name, void** args) override;
    virtual void setEnabled(bool enabled);

    int socket() const noexcept { return m_socket; }
    int type() const noexcept { return m_type; }
    bool isEnabled() const noexcept { return m_enabled; }

private:
    int m_socket;
    int m_type;
    bool m_enabled;
};

} // namespace Quorvan

#endif
