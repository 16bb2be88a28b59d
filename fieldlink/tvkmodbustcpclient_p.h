#ifndef TVKMODBUSTCPCLIENT_P_H
#define TVKMODBUSTCPCLIENT_P_H

#include "tvkmodbustcpclient.h"
#include "tvkmodbusclient_p.h"

namespace Quorvan {

class TVK_FIELDLINK_EXPORT CtvkModbusTcpClientPrivate : public CtvkModbusClientPrivate {
public:
    TVK_DECLARE_PUBLIC(CtvkModbusTcpClient)

    CtvkModbusTcpClientPrivate();
    ~CtvkModbusTcpClientPrivate() override;

    // libmodbus sets the socket up itself; kept as the hook for doing more.
    void setupTcpSocket();

    // A connection that could not be made or cannot be used: the context is
    // released before the error is recorded, so a handler of
    // "errorOccurred" finds the client closed and may open it again.
    void failConnection(const CtvkString& text);
};

} // namespace Quorvan

#endif
