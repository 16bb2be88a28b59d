// SPDX-License-Identifier: MIT
#ifndef TVKTEST_NOTIFIERS_H
#define TVKTEST_NOTIFIERS_H

namespace tvktest {

// Socket notifiers the calling thread's dispatcher is watching: what a
// fixture counts before and after a test to prove nothing was left
// registered. The stand-in's own count; a real framework does not show it,
// so this is built only with the stand-in.
int watchedNotifiers();

} // namespace tvktest

#endif
