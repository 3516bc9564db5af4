// A small text format that describes a bus, for tests and the command-line tool:
//
//   # comment (to the end of the line)
//   node NAME KIND [speed=S400] [ports=3] [guid=0x...] [vendor=0x...] [model=0x...] [rom=...]
//                  [crc=bad] [gap=63] [rhb=0|1] [link=0|1] [contender=0|1] [power=0..7]
//                  [phy=1394a|1995] [format=F mode=M rate=R] [b1394=0|1]
//                  [cyclemaster=1]
//   connect A.PORT B.PORT
//   reset NAME [long|short]
//
// KIND is controller (the OHCI local node: made by the caller, who passes it to BuildBus), plain
// (a CSR node with a configuration ROM), camera (IIDC 1.31) or sbp2. speed is S100..S3200; ports
// 1..16; vendor and model are 24-bit values for the ROM; rom= replaces the ROM with a raw image:
// either quadlets in hex separated by commas (rom=0x0404abcd,0x31333934,...) or the name of a file
// holding hex quadlets separated by white space or commas ('#' starts a comment there too); a
// camera with its own ROM keeps its command registers where that ROM's unit-dependent directory
// says. crc=bad spoils the bus information block's CRC of the node's ROM.
// cyclemaster=1 makes a node other than the controller the bus's cycle master: its ROM says cmc,
// its STATE.cmstr is set, and its PHY holds back in tree identification (RHB, as a bus manager's
// force-root leaves it) so that it is root and sends the cycle starts. (The controller is cycle
// master through LinkControl.cycleMaster, which its driver sets.)
//
// The PHY of any node, the controller's included: gap= its Gap_count, as a configuration packet
// would have left it (it holds through the next reset and falls back to 63 at the one after);
// rhb= the root hold-off bit; link= LCtrl (0: the link is off and its self-ID packet has L = 0);
// contender= the C bit; power= the power class; phy=1995 a 1394-1995 PHY (at most S400).
//
// A camera's video mode after power-up and INITIALIZE: format= and mode= with rate= (1.875, 3.75,
// 7.5, 15, 30, 60, 120 or 240 fps; not for format 7) name a combination the camera lists, besides
// its default ones (a format 0 combination must be one the IIDC format 0 table defines); format=7
// adds format 7 mode M. b1394=1 lets the camera take the 1394b form of ISO_CHANNEL/ISO_SPEED.
//
// reset NAME asks, once the bus is built, for a bus reset started by that node's PHY (its self-ID
// packet carries i = 1): long by default, or short (arbitrated).
//
// Nodes are declared before the connections and resets that name them; a connection that would
// close a loop or use a port twice is an error. Every error names its line.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "packet.h"

namespace sim {

class Bus;
class Node;

struct NodeDescription {
    std::string name;
    std::string kind;  // controller, plain, camera, sbp2
    int line = 0;
    Speed speed = kS400;
    bool hasSpeed = false;
    int ports = 0;  // 0: the kind's default
    bool hasGuid = false;
    uint64_t guid = 0;
    bool hasVendor = false;
    uint32_t vendor = 0;
    bool hasModel = false;
    uint32_t model = 0;
    std::string romFile;           // rom=FILE
    std::vector<uint32_t> romHex;  // rom=0x...,0x...
    bool badCrc = false;           // crc=bad
    bool cycleMaster = false;      // cyclemaster=1
    // PHY: -1 where the description says nothing.
    int gap = -1, rhb = -1, link = -1, contender = -1, power = -1;
    bool phy1995 = false;
    // Camera: -1 where the description says nothing.
    int format = -1, mode = -1, rate = -1, b1394 = -1;
};

struct ResetDescription {
    std::string node;
    bool shortReset = false;
    int line = 0;
};

struct ConnectionDescription {
    std::string a;
    int portA = 0;
    std::string b;
    int portB = 0;
    int line = 0;
};

struct BusDescription {
    std::vector<NodeDescription> nodes;
    std::vector<ConnectionDescription> connections;
    std::vector<ResetDescription> resets;
    const NodeDescription* Find(const std::string& name) const;
};

// Parses a description. On failure returns false and sets *error to "line N: what is wrong".
bool ParseBusDescription(const std::string& text, BusDescription* description, std::string* error);

// Reads a ROM file of hex quadlets; false with *error set when it cannot.
bool LoadRomFile(const std::string& path, std::vector<uint32_t>* quadlets, std::string* error);

// Makes the nodes on the bus, joins them and asks for the resets the description names.
// `controller` (already on the bus) stands for the node of kind controller, if the description
// has one. ROM files are looked up relative to
// `romDirectory` unless absolute. *nodes receives every node by name. On failure returns false
// with *error ("line N: ..."); nodes already made stay on the bus.
bool BuildBus(const BusDescription& description, Bus& bus, Node* controller, std::map<std::string, Node*>* nodes,
              std::string* error, const std::string& romDirectory = "");

// The default bus: the controller, a three-port plain node on its port 0, two IIDC cameras on the
// plain node's other ports, and an SBP-2 unit behind the second camera.
extern const char* const kDefaultBusDescription;

}  // namespace sim
