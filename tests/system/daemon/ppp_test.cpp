// Who owns which PPP unit, found from pppd's pid files and real processes,
// and what the real driver answers about a line that carries no link.
#include <gmock/gmock.h>

#include "monitor.h"
#include "sandbox.h"

using namespace sandbox;

namespace
{

class PppUnits : public SystemTest
{
  protected:
    void pidFile(const std::string &name, pid_t pid)
    {
        writeFile("/var/run/" + name, std::to_string(pid) + "\n");
    }
};

TEST_F(PppUnits, BelongToTheRealUserOfARunningPppd)
{
    // pppd runs set-user-id root: the real id is the user's.
    UserProcess alices({.uid = alice.uid, .euid = 0, .name = "pppd"});
    UserProcess bobs({.uid = bob.uid, .name = "pppd"});
    UserProcess notPppd({.uid = carol.uid, .name = "sleep"});
    pidFile("ppp0.pid", alices.pid());
    pidFile("ppp5.pid", alices.pid());
    pidFile("ppp2.pid", alices.pid());
    pidFile("ppp1.pid", 99999);         // its pppd is gone
    pidFile("ppp3.pid", notPppd.pid()); // the id belongs to another program
    pidFile("ppp4.pid", bobs.pid());
    pidFile("ppp07.pid", bobs.pid());     // unit 7, whose file ppp7.pid is missing
    pidFile("ppp300.pid", bobs.pid());    // no such unit
    pidFile("ppp12.pidfile", bobs.pid()); // not a pid file's name
    pidFile("ppp12.pid.old", bobs.pid());
    Snapshot snapshot;
    scanProcesses(snapshot.processTable);
    snapshot.unitOwner = scanPppUnits(snapshot.processTable);
    const UnitOwners &unitOwner = snapshot.unitOwner;

    EXPECT_EQ(unitOwner[0], alice.uid);
    EXPECT_EQ(unitOwner[1], unknownUid);
    EXPECT_EQ(unitOwner[3], unknownUid);
    EXPECT_EQ(unitOwner[4], bob.uid);
    EXPECT_EQ(unitOwner[7], unknownUid);
    EXPECT_EQ(unitOwner[12], unknownUid);
    EXPECT_EQ(std::count(unitOwner.begin(), unitOwner.end(), bob.uid), 1);
    EXPECT_EQ(snapshot.unitOfUser(alice.uid), 0);
    snapshot.unitOwner[0] = unknownUid;
    EXPECT_EQ(snapshot.unitOfUser(alice.uid), 2); // the lowest unit the user holds
    EXPECT_EQ(snapshot.unitOfUser(carol.uid), -1);
}

TEST_F(PppUnits, TheRealDriverAnswersNothingForALineWithoutALink)
{
    SystemHost system;
    EXPECT_FALSE(system.pppCounters(9).has_value());
    UserProcess user({.uid = alice.uid, .terminal = true});
    EXPECT_FALSE(system.pppIdle(user.line().c_str()).has_value());
    EXPECT_FALSE(system.pppIdle("nosuch").has_value());
}

} // namespace
