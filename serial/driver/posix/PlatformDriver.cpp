// On Linux, new ports use the POSIX driver.
#include "serial/driver/posix/PosixComDriver.h"

namespace ComApi {

TComDriver &PlatformComDriver() {
    static TPosixComDriver Posix;
    return Posix;
}

} // namespace ComApi
