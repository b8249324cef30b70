// Card commands and PC/SC calls per operation, from the in-process service's
// APDU trace and call counters. Each operation runs three times on its own
// card: cold (empty cache directory, module just initialised), again (at once
// in the same module instance) and warm (module finalised and initialised
// again, the cache the first runs left kept).
//   bench_commands [JSON-FILE]
#include "cardbench.h"

#include <cstdio>
#include <fstream>
#include <iostream>

namespace {

using namespace cardbench;
using testpcsc::Function;

const std::vector<std::pair<Function, const char*>> COUNTED = {
    {Function::Transmit, "transmit"},       {Function::BeginTransaction, "begin"},
    {Function::EndTransaction, "end"},      {Function::Status, "status"},
    {Function::Reconnect, "reconnect"},     {Function::Connect, "connect"},
    {Function::Disconnect, "disconnect"},   {Function::GetStatusChange, "statuschange"},
    {Function::ListReaders, "listreaders"}, {Function::Control, "control"},
};

struct Count {
    std::size_t apdus = 0, sent = 0, received = 0;
    std::string instructions;  // CLA INS of every command, to see which ones repeat
    std::map<std::string, unsigned long> calls;
};

Count measure(Context& c, const Operation& op) {
    op.setup(c);
    c.svc.clearTrace(READER);
    c.svc.resetCallCounts();
    op.run(c);
    Count n;
    for (const testpcsc::Exchange& e : c.svc.trace(READER)) {
        ++n.apdus;
        n.sent += e.command.size();
        n.received += e.response.size();
        char ins[8];
        std::snprintf(ins, sizeof ins, "%s%02X%02X", n.instructions.empty() ? "" : " ",
                      e.command.size() > 0 ? e.command[0] : 0,
                      e.command.size() > 1 ? e.command[1] : 0);
        n.instructions += ins;
    }
    for (const auto& [f, name] : COUNTED)
        n.calls[name] = c.svc.callCount(f);
    return n;
}

std::string json(const Count& n) {
    std::string out = "{\"apdus\": " + std::to_string(n.apdus) +
                      ", \"bytes_sent\": " + std::to_string(n.sent) +
                      ", \"bytes_received\": " + std::to_string(n.received) + ", \"commands\": \"" +
                      n.instructions + "\"";
    for (const auto& [name, value] : n.calls)
        out += ", \"" + name + "\": " + std::to_string(value);
    return out + "}";
}

}  // namespace

int main(int argc, char** argv) {
    configuration();
    Context c;
    std::string out = "[\n";
    std::printf("%-42s %-6s %5s %7s %7s %5s %5s %5s %6s %5s\n", "operation", "cache", "APDUs",
                "sent", "recv", "xmit", "begin", "end", "status", "other");
    for (const Operation& op : operations()) {
        const auto card = makeCard(c, op.dataObjects, op.dataObjects == 0);
        c.insert(card);
        configuration().wipeCache();
        std::vector<std::pair<std::string, Count>> runs;
        runs.emplace_back("cold", measure(c, op));
        runs.emplace_back("again", measure(c, op));
        c.finalize();
        runs.emplace_back("warm", measure(c, op));
        c.finalize();
        for (const auto& [cache, n] : runs) {
            unsigned long other = 0;
            for (const auto& [name, value] : n.calls)
                if (name != "transmit" && name != "begin" && name != "end" && name != "status")
                    other += value;
            std::printf("%-42s %-6s %5zu %7zu %7zu %5lu %5lu %5lu %6lu %5lu\n", op.name.c_str(),
                        cache.c_str(), n.apdus, n.sent, n.received, n.calls.at("transmit"),
                        n.calls.at("begin"), n.calls.at("end"), n.calls.at("status"), other);
            out += "  {\"operation\": \"" + op.name + "\", \"cache\": \"" + cache +
                   "\", \"count\": " + json(n) + "},\n";
        }
    }
    out.erase(out.size() - 2, 1);
    out += "]\n";
    if (argc > 1)
        std::ofstream(argv[1]) << out;
    return 0;
}
