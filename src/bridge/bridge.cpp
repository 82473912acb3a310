#include "bridge/bridge.h"

#include <stdexcept>
#include <vector>

#include "common/text.h"
#include "message/xap_message.h"
#include "state/errors.h"
#include "state/globals.h"
#include "state/log_file.h"
#include "state/out_queue.h"

namespace tessaly {

namespace {

constexpr std::size_t npos = std::string::npos;
constexpr const char* kDeviceGroup = "XPL_BSC";
constexpr const char* kOptionsFile = "Velmar.ini";
constexpr const char* kXplPrefix = "xpl.";

// Splits "address:sub-address" at its first ":"; the sub-address is "" when
// there is none.
std::pair<std::string, std::string> SplitSubAddress(const std::string& address) {
  const std::size_t colon = address.find(':');
  if (colon == npos) return {address, ""};
  return {address.substr(0, colon), address.substr(colon + 1)};
}

// An xAP source as xPL writes it: the "xpl." of an address that came from
// xPL taken off again, or vendor.device.instance made vendor-device.instance.
std::string XplSourceOf(std::string s) {
  if (EqualsNoCase(std::string_view(s).substr(0, 4), kXplPrefix)) return s.substr(4);
  const std::size_t dot = s.find('.');
  if (dot != npos) s[dot] = '-';
  return s;
}

std::string ComposeXpl(const std::string& type, const std::string& source, const std::string& target,
                       const std::string& schema, const std::string& source_sub, const std::string& target_sub,
                       const std::vector<std::string>& lines) {
  std::string text = type + "\n{\nhop=1\nsource=" + source + "\ntarget=" + target + "\n}\n" + schema + "\n{\n";
  if (!source_sub.empty()) text += "SourceSubaddress=" + source_sub + "\n";
  if (!target_sub.empty()) text += "TargetSubaddress=" + target_sub + "\n";
  for (const std::string& line : lines) text += line + "\n";
  return text + "}\n";
}

// The value of the last body pair called `name` (lower case); "" when none.
std::string LastValue(const xplMessage& r, std::string_view name) {
  std::string value;
  for (std::int16_t i = 0; i < r.NamePairs; ++i) {
    if (EqualsNoCase(r.Names[i], name)) value = r.Values[i];
  }
  return value;
}

}  // namespace

Bridge::Bridge(Globals& g, XplHub& xpl) : g_(g), xpl_(xpl), events_(g) {}

// --- xAP to xPL ----------------------------------------------------------------

void Bridge::BridgeToXPL(std::string_view text, XapMessage& message) {
  if (!g_.XapToXpl || ToLower(text.substr(0, 6)) == "xap-hb") return;
  auto step = [this](auto&& run) {
    try {
      run();
    } catch (...) {
      LogCurrentException(g_, "BridgeToXPL");
    }
  };
  std::string source, source_sub, target, target_sub, type, schema;
  std::vector<std::string> lines;
  step([&] {
    std::tie(source, source_sub) = SplitSubAddress(message.msgSource);
    source = XplSourceOf(source);
  });
  step([&] {
    std::tie(target, target_sub) = SplitSubAddress(message.msgTarget);
    if (target == "Unknown") target = "*";
  });
  step([&] {
    const XapSection* first = message.msgCollection(0);
    if (!first) throw std::out_of_range("the message has no body section");
    for (const auto& item : first->Lines()) lines.push_back(item.second);
  });
  step([&] { schema = message.msgSection().at(0); });
  step([&] {
    const std::string c = ToLower(message.msgClass);
    if (c == "xapbsc.cmd" && ToLower(std::string_view(target_sub).substr(0, 5)) == "zwave") {
      type = "XPL-CMND";
      schema = "zwave.basic";
      const std::size_t underscore = target_sub.rfind('_');
      const std::string node = underscore == npos ? "" : target_sub.substr(underscore + 1);
      std::string level = message.GetItem("output.state.1", "Level");
      if (level.empty()) {
        level = message.GetItem("output.state.1", "Text");
      } else {
        level = level.substr(0, level.find('/'));
      }
      lines = {"command=" + message.GetItem("output.state.1", "State"), "node=" + node};
      if (!level.empty()) lines.push_back("level=" + level);
      target_sub.clear();
    } else if (c == "xapbsc.cmd" || c == "xap-x10.request") {
      type = "XPL-CMND";
      if (c == "xap-x10.request") schema = "x10.basic";
    } else if (c == "xapbsc.event" || c == "xap-x10.event") {
      type = "XPL-TRIG";
    } else {
      type = "XPL-STAT";
    }
  });
  step([&] { xpl_.SendXPL(ComposeXpl(type, source, target, schema, source_sub, target_sub, lines), -1); });
}

// --- xPL to xAP ----------------------------------------------------------------

void Bridge::BridgeToXAP(const std::string& text) {
  if (!g_.XplToXap && !g_.XplBsc) return;
  xplMessage r;
  try {
    r = xpl_.Parser().xPL_xplMessage(text);
  } catch (...) {
    LogCurrentException(g_, "BridgeToXAP");
  }
  if (r.MsgType.empty() || !g_.XapLink) return;
  const std::string target = r.Target == "*" ? "" : r.Target;
  if (g_.XplToXap) {
    try {
      std::string body;
      for (std::int16_t i = 0; i < r.NamePairs; ++i) AddPackedItem(body, r.Names[i], r.Values[i]);
      g_.XapLink->SendXap(target, r.Schema, r.Schema, body, kXplPrefix + r.Source, "", "");
    } catch (...) {
      LogCurrentException(g_, "BridgeToXAP");
    }
  }
  if (!g_.XplBsc) return;
  try {
    const std::string schema = ToLower(r.Schema);
    if (schema == "x10.basic") {
      TranslateX10(text, r, target);
    } else if (schema == "zwave.basic") {
      TranslateZwave(r, target);
    } else if (schema == "remote.basic") {
      TranslateRemote(r, target);
    }
  } catch (...) {
    LogCurrentException(g_, "BridgeToXAP");
  }
}

void Bridge::TranslateX10(const std::string& text, const xplMessage& r, const std::string& target) {
  const std::string device = LastValue(r, "device"), command = LastValue(r, "command");
  if (device.empty() || command.empty()) return;
  const std::string cls =
      ToLower(std::string_view(text).substr(0, 8)) == "xpl-cmnd" ? "xap-x10.request" : "xap-x10.event";
  g_.XapLink->SendXap(target, cls, cls, PackBody({{"Device", device}, {"Command", command}}), kXplPrefix + r.Source,
                      "", "");
}

void Bridge::TranslateZwave(const xplMessage& r, const std::string& target) {
  const std::string event = LastValue(r, "event"), node = LastValue(r, "node"), level = LastValue(r, "level");
  if (event.empty() || node.empty()) return;
  std::string body = PackBody({{"State", level == "0" ? "off" : "on"}});
  if (!level.empty()) AddPackedItem(body, "Level", level + "/100");
  const std::string padded = "___" + node;
  const std::string name = "zwave_node___" + padded.substr(padded.size() - 3) + "S";
  const SecuritySensor* device = DeviceFor(name, name, r.Source);
  if (device) SendDeviceEvent(target, body, r.Source, name, *device);
}

void Bridge::TranslateRemote(const xplMessage& r, const std::string& target) {
  const std::string keys = LastValue(r, "keys"), name = LastValue(r, "device");
  if (keys.empty() || name.empty()) return;
  SecuritySensor* device = DeviceFor(name, (name + std::string(16, '_')).substr(0, 16) + "S", r.Source);
  if (!device) return;
  try {
    std::optional<std::int32_t> state = LeadingInt32(keys);
    if (!state) throw std::overflow_error("key code outside 32 bits");
    device->State = *state;
  } catch (...) {
    LogCurrentException(g_, "BridgeToXAP");
  }
  const std::string body = PackBody({{"State", keys == "33" ? "OFF" : "ON"}, {"Text", Dec(device->State)}});
  SendDeviceEvent(target, body, r.Source, device->SerialNumber, *device);
}

SecuritySensor* Bridge::DeviceFor(const std::string& key, const std::string& serial, const std::string& source) {
  if (SecuritySensor* known = BscDevices.Find(key)) return known;
  if (!StorableDeviceKey(key)) return nullptr;
  if (BscDevices.size() >= BscDeviceList::kMaxDevices) throw std::overflow_error("no device index left");
  SecuritySensor device;
  device.Index = static_cast<std::int16_t>(BscDevices.size() + 1);
  device.SerialNumber = serial;
  device.Source = source;
  BscDevices.Add(key, std::move(device));
  return BscDevices.Find(key);
}

void Bridge::SendDeviceEvent(const std::string& target, const std::string& body, const std::string& source,
                             const std::string& serial, const SecuritySensor& device) {
  g_.XapLink->SendXap(target, "xAPBSC.event", "input.state.1", body, kXplPrefix + source,
                      kXplPrefix + serial + ".Switch", UidOf(device));
}

std::string Bridge::UidOf(const SecuritySensor& device) {
  return g_.XapUidValue.substr(0, 6) + ToHex(device.Index, events_);
}

// --- Device query and the device list ------------------------------------------------

void Bridge::DeviceQuery(XapMessage& message) {
  const std::string address = SplitSubAddress(message.msgTarget).first;
  const bool has_sub = address.size() != message.msgTarget.size();
  for (auto& [key, device] : BscDevices) {
    const std::string source = kXplPrefix + device.Source;
    if (message.CompareTarget(source) || (has_sub && message.CompareAddress(source, address))) {
      BSCQuery(message.msgTarget);
      return;
    }
  }
}

void Bridge::BSCQuery(const std::string& target) {
  std::string w[4] = {"*", "*", "*", "*"};
  const std::size_t colon = target.find(':');
  if (colon == npos) return;
  const std::string sub = target.substr(colon + 1);
  if (!sub.empty()) {
    const std::vector<std::string> parts = Split(sub, ".");
    for (std::size_t i = 0; i < parts.size() && i < 4 && parts[i] != ">"; ++i) w[i] = ToLower(parts[i]);
  }
  for (auto& [key, device] : BscDevices) {
    try {
      const std::string own[3] = {"xpl", ToLower(device.SerialNumber), "switch"};
      bool match = true;
      for (int i = 0; i < 3; ++i) match = match && (w[i] == "*" || w[i] == own[i]);
      if (!match || !g_.XapLink) continue;
      g_.XapLink->SendXap("", "xAPBSC.info", "input.state",
                          PackBody({{"State", device.State == 32 ? "ON" : "OFF"}, {"Stream", Dec(device.State)}}),
                          kXplPrefix + device.Source, kXplPrefix + device.SerialNumber + ".Switch", UidOf(device));
    } catch (...) {
      g_.Err.SetFromCurrentException();
      LogXapEvent(g_, "Tessaly", "BSCQuery");
    }
  }
}

void Bridge::GetSecurityDevices(Vantrel& settings) {
  try {
    std::string text = settings.GetINISection(kDeviceGroup, kOptionsFile);
    text = ReplaceAll(ReplaceAll(text, "\"", ""), "\\[", "[");
    if (text.empty()) return;
    for (const std::string& entry : Split(text, std::string_view("\0", 1))) LoadDevice(entry);
  } catch (...) {
    LogCurrentException(g_, "GetSecurityDevices");
  }
}

void Bridge::LoadDevice(const std::string& entry) {
  const std::size_t equal = entry.find('=');
  if (equal == npos) return;
  const std::string key = entry.substr(0, equal);
  if (BscDevices.Find(key)) return;
  const std::vector<std::string> fields = Split(std::string_view(entry).substr(equal + 1), ",");
  if (fields.size() != 3) return;
  const double index = RoundHalfEven(LeadingNumber(fields[1]));
  if (index < INT16_MIN || index > INT16_MAX) {
    // One entry spoiled by hand must not lose the devices after it.
    g_.Err.Set(0, "Device " + key + ": index outside 16 bits");
    WriteLogFile(g_, "Tessaly", "GetSecurityDevices");
    return;
  }
  SecuritySensor device;
  device.SerialNumber = fields[2];
  device.Index = static_cast<std::int16_t>(index);
  device.Source = fields[0];
  BscDevices.Add(key, std::move(device));
}

void Bridge::SaveSecurityDevices(Vantrel& settings) {
  try {
    for (auto& [key, device] : BscDevices) {
      settings.SaveIniSetting(kDeviceGroup, key,
                              device.Source + "," + Dec(device.Index) + "," + device.SerialNumber, kOptionsFile);
    }
  } catch (...) {
    LogCurrentException(g_, "SaveSecurityDevices");
  }
}

}  // namespace tessaly
