#include "cli/report.hpp"

#include <cmath>
#include <iterator>
#include <optional>
#include <string>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "cli/tool.hpp"

namespace comm_tool {
namespace {

using Json = nlohmann::ordered_json;

uint64_t raw_bytes(const Stats& stats)
{
    return stats.values * sizeof(float);
}

double ratio(uint64_t part, uint64_t whole)
{
    return whole == 0 ? 0.0 : static_cast<double>(part) / static_cast<double>(whole);
}

// Megabytes (10^6 bytes) a second; none when no time was measured.
std::optional<double> mb_per_s(uint64_t bytes, double seconds)
{
    if (seconds <= 0.0) {
        return std::nullopt;
    }
    return static_cast<double>(bytes) / seconds / 1e6;
}

std::string throughput(std::optional<double> mb_s)
{
    return mb_s ? grouped(static_cast<uint64_t>(std::llround(*mb_s))) : std::string("-");
}

std::string round_trip(const MethodStats& m, uint64_t blocks)
{
    return m.failed_blocks == 0 ? std::string("ok") : fmt::format("FAILED {}/{}", m.failed_blocks, blocks);
}

// The single method whose streams were smallest over all blocks, the earliest
// on a tie; none when every method failed somewhere.
std::optional<size_t> smallest_method(const Stats& stats)
{
    std::optional<size_t> best;
    for (size_t m = 0; m < stats.methods.size(); ++m) {
        const MethodStats& ms = stats.methods[m];
        if (ms.failed_blocks == 0 && (!best || ms.stream_bytes < stats.methods[*best].stream_bytes)) {
            best = m;
        }
    }
    return best;
}

// "pair 3 and escaped 4 of 7 blocks"
std::string auto_choices(const Results& results, const Stats& stats)
{
    std::string text;
    for (size_t m = 0; m < results.methods.size(); ++m) {
        if (stats.automatic.chosen[m] == 0) {
            continue;
        }
        if (!text.empty()) {
            text += ", ";
        }
        text += fmt::format("{} {}", results.methods[m].key, grouped(stats.automatic.chosen[m]));
    }
    return fmt::format("{} of {} block{}", text.empty() ? "none" : text, grouped(stats.blocks),
                       stats.blocks == 1 ? "" : "s");
}

void append_error(std::string& out, const QuantisationError& error)
{
    if (error.values == 0) {
        fmt::format_to(std::back_inserter(out), "quantisation error: no values in [0, 1]\n");
        return;
    }
    fmt::format_to(std::back_inserter(out),
                   "quantisation error of the {} values in [0, 1]: largest {:.6f}, RMS {:.6f}, mean bias {:+.6f} "
                   "(half a level is {:.6f}), SNR {:.1f} dB\n",
                   grouped(error.values), error.largest, error.rms(), error.mean_bias(), 0.5 / 255.0, error.snr_db());
}

void append_table(std::string& out, const Results& results, const std::string& title, const Stats& stats,
                  bool show_failures)
{
    auto to = std::back_inserter(out);
    fmt::format_to(to, "{}: {} values ({} raw bytes), {} block{} of up to {}\n", title, grouped(stats.values),
                   grouped(raw_bytes(stats)), grouped(stats.blocks), stats.blocks == 1 ? "" : "s", results.block);
    if (stats.out_of_range() == 0) {
        fmt::format_to(to, "outside [0, 1]: none\n");
    } else {
        fmt::format_to(to, "outside [0, 1], clamped by the codec: {} ({} below 0, {} above 1, {} NaN)\n",
                       grouped(stats.out_of_range()), grouped(stats.below_zero), grouped(stats.above_one),
                       grouped(stats.nan));
    }
    fmt::format_to(to, "{:<18}  {:>13}  {:>7}  {:>9}  {:>9}  {:<10}  {:>11}  {:>11}\n", "method", "stream bytes",
                   "to raw", "per value", "packets", "round trip", "encode MB/s", "decode MB/s");
    for (size_t m = 0; m < results.methods.size(); ++m) {
        const MethodStats& ms = stats.methods[m];
        fmt::format_to(to, "{:<18}  {:>13}  {:>7.3f}  {:>9.3f}  {:>9}  {:<10}  {:>11}  {:>11}\n",
                       results.methods[m].label, grouped(ms.stream_bytes), ratio(ms.stream_bytes, raw_bytes(stats)),
                       ratio(ms.stream_bytes, stats.values), grouped(ms.packets), round_trip(ms, stats.blocks),
                       throughput(mb_per_s(raw_bytes(stats), ms.seconds.encode)),
                       throughput(mb_per_s(raw_bytes(stats), ms.seconds.decode)));
    }
    const AutoStats& automatic = stats.automatic;
    fmt::format_to(to, "{:<18}  {:>13}  {:>7.3f}  {:>9.3f}  {:>9}  {:<10}  {:>11}  {:>11}\n", "auto (per block)",
                   grouped(automatic.stream_bytes), ratio(automatic.stream_bytes, raw_bytes(stats)),
                   ratio(automatic.stream_bytes, stats.values), grouped(automatic.packets),
                   automatic.failed_blocks == 0 ? std::string("ok")
                                                : fmt::format("FAILED {}/{}", automatic.failed_blocks, stats.blocks),
                   "-", "-");
#if COMM_TOOL_LZ4
    // A general-purpose compressor on the same levels, for scale: no packets, no round trip.
    fmt::format_to(to, "{:<18}  {:>13}  {:>7.3f}  {:>9.3f}  {:>9}  {:<10}  {:>11}  {:>11}\n", "lz4 (level bytes)",
                   grouped(stats.lz4_bytes), ratio(stats.lz4_bytes, raw_bytes(stats)),
                   ratio(stats.lz4_bytes, stats.values), "-", "-", "-", "-");
#endif
    if (const std::optional<size_t> m = smallest_method(stats)) {
        fmt::format_to(to, "smallest: {}; auto codes {}\n", results.methods[*m].label, auto_choices(results, stats));
    }
    append_error(out, stats.error);
    for (size_t m = 0; m < results.methods.size() && show_failures; ++m) {
        if (const auto& failure = stats.methods[m].first_failure) {
            fmt::format_to(to, "{}: first failure in block {} (values from {}): {}\n", results.methods[m].key,
                           failure->block, grouped(failure->first_value), failure->what);
        }
    }
}

Json json_number(std::optional<double> value)
{
    return value ? Json(*value) : Json(nullptr);
}

Json json_stats(const Results& results, const Stats& stats)
{
    Json out;
    out["values"] = stats.values;
    out["raw_bytes"] = raw_bytes(stats);
    out["blocks"] = stats.blocks;
    out["input_bytes"] = stats.input_bytes;
    out["outside_0_1"] = {{"below_0", stats.below_zero},
                          {"above_1", stats.above_one},
                          {"nan", stats.nan},
                          {"total", stats.out_of_range()}};
    out["read_mb_per_s"] = json_number(mb_per_s(stats.input_bytes, stats.read_seconds));
    out["seconds"] = {{"read", stats.read_seconds}, {"scan", stats.scan_seconds}, {"total", stats.total_seconds}};
    Json methods = Json::object();
    for (size_t m = 0; m < results.methods.size(); ++m) {
        const MethodStats& ms = stats.methods[m];
        Json method;
        method["stream_bytes"] = ms.stream_bytes;
        method["ratio_to_raw"] = ratio(ms.stream_bytes, raw_bytes(stats));
        method["bytes_per_value"] = ratio(ms.stream_bytes, stats.values);
        method["packets"] = ms.packets;
        method["round_trip"] = ms.failed_blocks == 0 ? "ok" : "failed";
        method["failed_blocks"] = ms.failed_blocks;
        if (ms.first_failure) {
            method["first_failure"] = {{"block", ms.first_failure->block},
                                       {"first_value", ms.first_failure->first_value},
                                       {"what", ms.first_failure->what}};
        }
        method["encode_mb_per_s"] = json_number(mb_per_s(raw_bytes(stats), ms.seconds.encode));
        method["decode_mb_per_s"] = json_number(mb_per_s(raw_bytes(stats), ms.seconds.decode));
        method["seconds"] = {{"encode", ms.seconds.encode}, {"split", ms.seconds.split},
                             {"merge", ms.seconds.merge},   {"byte_check", ms.seconds.byte_check},
                             {"decode", ms.seconds.decode}, {"level_check", ms.seconds.level_check}};
        methods[results.methods[m].key] = std::move(method);
    }
    out["methods"] = std::move(methods);
    const AutoStats& automatic = stats.automatic;
    Json chosen = Json::object();
    for (size_t m = 0; m < results.methods.size(); ++m) {
        chosen[results.methods[m].key] = automatic.chosen[m];
    }
    out["auto"] = {{"stream_bytes", automatic.stream_bytes},
                   {"ratio_to_raw", ratio(automatic.stream_bytes, raw_bytes(stats))},
                   {"bytes_per_value", ratio(automatic.stream_bytes, stats.values)},
                   {"packets", automatic.packets},
                   {"round_trip", automatic.failed_blocks == 0 ? "ok" : "failed"},
                   {"failed_blocks", automatic.failed_blocks},
                   {"blocks_per_method", std::move(chosen)}};
#if COMM_TOOL_LZ4
    out["lz4"] = {{"stream_bytes", stats.lz4_bytes}, {"bytes_per_value", ratio(stats.lz4_bytes, stats.values)}};
#endif
    const std::optional<size_t> smallest = smallest_method(stats);
    out["smallest"] = smallest ? Json(results.methods[*smallest].key) : Json(nullptr);
    const QuantisationError& error = stats.error;
    const bool measured = error.values > 0;
    out["quantisation_error"] = {{"values", error.values},
                                 {"largest", measured ? Json(error.largest) : Json(nullptr)},
                                 {"rms", measured ? Json(error.rms()) : Json(nullptr)},
                                 {"mean_bias", measured ? Json(error.mean_bias()) : Json(nullptr)},
                                 {"snr_db", measured && error.sum_squares > 0 ? Json(error.snr_db()) : Json(nullptr)}};
    return out;
}

}  // namespace

std::string text_report(const Results& results)
{
    std::string out;
    for (const InputStats& input : results.inputs) {
        if (!out.empty()) {
            out += '\n';
        }
        append_table(out, results, input.name == "-" ? "standard input" : input.name, input.stats, true);
    }
    if (results.inputs.size() > 1) {
        out += '\n';
        append_table(out, results, fmt::format("total of {} inputs", results.inputs.size()), results.total, false);
    }
    return out;
}

std::string json_report(const Results& results)
{
    Json doc;
    doc["block"] = results.block;
    doc["round_trip"] = results.total.round_trip_ok() ? "ok" : "failed";
    Json inputs = Json::array();
    for (const InputStats& input : results.inputs) {
        Json entry;
        entry["name"] = input.name;
        entry.update(json_stats(results, input.stats));
        inputs.push_back(std::move(entry));
    }
    doc["inputs"] = std::move(inputs);
    Json total;
    total["inputs"] = results.inputs.size();
    total.update(json_stats(results, results.total));
    doc["total"] = std::move(total);
    return doc.dump(2) + '\n';
}

}  // namespace comm_tool
