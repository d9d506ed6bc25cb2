#pragma once
// The stand-in's side of a login of the core, for any test folder: its test user and the
// "sync.ini" that names it as the configuration host.

#include "support/CloudStandIn.h"
#include "support/StandInApi.h"

#include <QString>

// The user "u1" with the credential "Q=a; T=b;", named "User One", owning the enterprise E1
// ("Ent One"); with `member` also a member of E2 ("Ent Two").
void AddStandInUser(StandInApi& api, bool member);
// Writes "sync.ini" into `workDir`: the stand-in's primary listener is the configuration host.
// Fails the test when it cannot be written.
void WriteSyncIni(const CloudStandIn& standIn, const QString& workDir);
// What `coredrv` in a process of its own needs: the user (without E2) and the "sync.ini".
void ServeCoreDriver(StandInApi& api, const CloudStandIn& standIn, const QString& workDir);
