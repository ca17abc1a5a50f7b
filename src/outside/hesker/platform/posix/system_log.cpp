// The system log of the platform seam: syslog.
#include "hk_platform.h"

#include <syslog.h>

void WriteSystemLog(uint16_t type, const char *utf8Text) {
   int priority;
   switch (type) {
      case 1:
         priority = LOG_ERR;
         break;
      case 2:
         priority = LOG_WARNING;
         break;
      case 4:
         priority = LOG_INFO;
         break;
      default:
         priority = LOG_DEBUG;
         break;
   }
   syslog(priority, "%s", utf8Text != nullptr ? utf8Text : "");
}
