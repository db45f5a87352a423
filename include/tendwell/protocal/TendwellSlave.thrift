# The status reply and the control service that a client calls on the daemon's
# Unix-domain socket.
include "TendwellBase.thrift"

namespace cpp tendwell

struct TTendletStatusResponse {
    1: TendwellBase.TReturnResult returnInfo,
    2: list<TendwellBase.TTendletStatusInfo> statusInfo
}

service TSlaveServiceProtocol {
    TendwellBase.TReturnResult start(1: i32 timout = 30),
    TendwellBase.TReturnResult stop(1: i32 timeout = 30),
    TendwellBase.TReturnResult restart(1: i32 timeout = 30),
    TendwellBase.TReturnResult abort(1: i32 timeout = 30),
    TendwellBase.TReturnResult reload(1: i32 timeout = 30),
    TTendletStatusResponse check(1: i32 timeout = 30),
    TendwellBase.TReturnResult startOne(1: string name, 2: i32 timeout = 30),
    TendwellBase.TReturnResult stopOne(1: string name, 2: i32 timeout = 30),
    TendwellBase.TReturnResult restartOne(1: string name, 2: i32 timeout = 30),
    TendwellBase.TReturnResult reloadOne(1: string name, 2: i32 timeout = 30),
    TTendletStatusResponse checkOne(1: string name, 2: i32 timeout = 30)
}
