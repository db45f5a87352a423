# Result codes, tendlet statuses and the result and status structures shared by
# the control service and the tendlet manager.
namespace cpp tendwell

enum TReturnCode {
    SUCC = 0,
    ERROR_CONNECTED_TO_SERVER = 1,
    ERROR_READ = 2,
    ERROR_WRITE = 3,
    ERROR_ILLEGAL_PARAM = 4,
    ERROR_TIMEO = 5,
    ERROR_INTERNAL = 6,
    ERROR_ALEADY_STARTED = 7,
    ERROR_NO_PROCESS = 8,
    ERROR_START_FAIL = 9,
    ERROR_OPEN_LOG_FAIL = 10,
    ERROR_CONFIGURE_CHECK_ERROR = 11,
    ERROR_GETHOSTNAME_FAIL = 12,
    ERROR_COMMNICATE_WITH_SERVER = 13,
    ERROR_IS_STARTING = 14,
    ERROR_IS_STOPING = 15,
    ERROR_IS_RELOADING = 16,
    ERROR_IS_RESTARTING = 17,
    ERROR_IS_OPERATEING = 18,
    ERROR_STOP_FAIL = 19,
    ERROR_RELOD_FAIL = 20,
    ERROR_PRCESS_MNG_INIT_FAIL = 21,
    ERROR_NAME_NOT_EXIST = 22,
    ERROR_RESTART_FAIL = 23,
    ERROR_ABORT_FAIL = 24,
    ERROR_NOT_RUNNING = 25,
    ERROR_READ_TIMEOUT = 26
}

enum TTendletStatus {
    INIT = 0,
    STARTING = 1,
    RUNNING = 2,
    STOPPING = 3,
    STOPED = 4,
    EXIT = 5,
    FATAL = 6,
    BACKOFF = 7,
    CHECKING = 8,
    UNKOWN = 9
}

enum TTendletType {
    INSTANCE = 0,
    ORVANE_DATA_SERVICE = 1,
    ORVANE_CONF_SERVICE = 2,
    CRONTAB_SERVICE = 3,
    OTHER_TENDLET_SERVICE = 4
}

enum TOperateType {
    INIT = 0,
    START = 1,
    STOP = 2,
    RESTART = 3,
    ABORT = 4,
    RELOAD = 5,
    CHECK = 6,
    STARTONE = 7,
    STOPONE = 8,
    RESTARTONE = 9,
    RELOADONE = 10,
    CHECKONE = 11
}

struct TReturnResult {
    1: string returnMsg = "OK",
    2: TReturnCode returnCode = TReturnCode.SUCC
}

struct TTendletStatusInfo {
    1: i32 status = 0,
    2: string name,
    3: string msg = "ok",
    4: string time,
    5: string start_cmd
}
