// The receiving end of `comm unpack`, `test`, `list` and `recv`: wire packets
// in, blocks of float32 out in stream order, and every loss named.
#ifndef COMM_TOOL_UNPACKER_HPP
#define COMM_TOOL_UNPACKER_HPP

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cli/methods.hpp"
#include "cli/tool.hpp"
#include "comm/wire.hpp"

namespace comm_tool {

// What the first bytes of an input say it is.
enum class InputKind {
    packets,      // holds a good packet: a .comm file, perhaps damaged
    damaged,      // starts with the magic but holds no good packet
    not_packets,  // no magic at its start and no good packet: not a .comm file
    bad_version,  // the magic, then a version this build does not read
    empty,
};

// Classifies an input from its first bytes (as many as a read gives).
InputKind classify(std::span<const uint8_t> first_bytes);

// Adds --fill to `app`, for commands that write blocks out.
void add_fill_option(CLI::App& app, std::string& fill);
// Whether the --fill value asks for NaN in place of lost blocks; "" for none.
// Throws InputError for any value but "" and "nan".
bool fill_with_nan(const std::string& fill);

struct UnpackOptions {
    bool fill_nan = false;         // write a lost block's values as NaN
    bool list_blocks = false;      // a line on out for each block (comm list -v)
    bool list_streams = false;     // a line on out for each stream (comm list)
    size_t window = 32;            // blocks the reassembler holds
    bool new_stream_on_id = true;  // a file: a packet of another stream starts it
};

// Feeds packets to a reassembler per stream and acts on what it gives back:
// blocks to `output` (if any), losses named on err.
class Unpacker {
public:
    Unpacker(const Command& command, std::string source, Output* output, const UnpackOptions& options);

    // Blocks go to `output` from now on (none: nowhere).
    void set_output(Output* output) { output_ = output; }

    // One packet (a file's, found by comm::wire::reader) or one datagram.
    void push(std::span<const uint8_t> packet);
    // No more packets: reports what never came.
    void finish();

    // True once the stream (the only one, for datagrams) has ended.
    [[nodiscard]] bool ended() const { return reassembler_ && reassembler_->ended(); }
    // Whether anything was lost or damaged.
    [[nodiscard]] bool damaged() const { return damaged_; }
    // Called when damage that costs no block was found (a file's skipped bytes).
    void note_damage(const std::string& message);

    [[nodiscard]] uint64_t blocks() const { return blocks_; }
    [[nodiscard]] uint64_t values() const { return values_; }
    [[nodiscard]] uint64_t lost_blocks() const { return lost_blocks_; }
    [[nodiscard]] uint64_t streams() const { return streams_; }
    [[nodiscard]] const comm::wire::counters& totals() const { return totals_; }

private:
    void start_stream(uint32_t stream_id);
    void end_stream();
    void on_event(const comm::wire::event& event);
    void write_nan(uint64_t count);
    void name_loss(const std::string& message);

    const Command& command_;
    std::string source_;
    Output* output_;
    UnpackOptions options_;
    std::unique_ptr<comm::wire::reassembler> reassembler_;
    uint32_t stream_id_ = 0;
    bool damaged_ = false;
    uint64_t streams_ = 0;
    uint64_t blocks_ = 0;
    uint64_t values_ = 0;
    uint64_t lost_blocks_ = 0;
    uint64_t losses_named_ = 0;
    comm::wire::counters totals_{};
    // The stream in hand, for `comm list`.
    uint64_t stream_blocks_ = 0;
    uint64_t stream_values_ = 0;
    uint64_t stream_bytes_ = 0;
    uint64_t stream_packets_ = 0;
    std::vector<uint64_t> stream_methods_;
    std::vector<float> nan_;
};

}  // namespace comm_tool

#endif  // COMM_TOOL_UNPACKER_HPP
