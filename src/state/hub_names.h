// Names and numbers that several subsystems write out: the hub's identities,
// its roles, its ports and the layout of a receive-queue entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tessaly {

// The xAP hub port and the first of the client ports a hub binds.
constexpr std::int32_t kXapHubPort = 3639;
constexpr std::int32_t kFirstClientPort = 32768;

// HubRole values.
constexpr std::string_view kRolePrimary = "Hub";
constexpr std::string_view kRoleBackup = "HubBackup";

// The identities a hub sends under: source prefix (the computer name follows)
// and uid, for the primary and for the backup.
constexpr std::string_view kPrimarySourcePrefix = "zyn.hub.";
constexpr std::string_view kPrimaryUid = "FF00FF00";
constexpr std::string_view kBackupSourcePrefix = "zyn.backupHub.";
constexpr std::string_view kBackupUid = "FF00FE00";

// The address of a computer without a network address, and of local delivery.
constexpr std::string_view kLoopbackAddress = "127.0.0.1";

// A receive-queue entry starts with the sender's address right-aligned in
// this many characters; the datagram's text follows.
constexpr std::size_t kSenderWidth = 15;

// The program's version: major, minor, revision.
constexpr char kVersion[] = "1.2.4";

// The executable's name, and the name its processes run under.
constexpr std::string_view kExeName = "Tessaly";

}  // namespace tessaly
