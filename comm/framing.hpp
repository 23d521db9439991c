// Packet framing (split and merge, see Comm.h), written once over a byte copy:
// each path's file includes this header inside its namespace, after what it
// uses, and instantiates the templates with its own `Copy`, a class whose
// static copy(to, from, n) copies n >= 0 bytes, touching nothing outside
// either range. The vector paths include it inside their target regions.
#ifndef COMM_FRAMING_HPP
#define COMM_FRAMING_HPP

template <class Copy>
int32_t split_packets(const uint8_t* stream, packet* packets, int32_t len)
{
    int32_t count = 0;
    for (int32_t remaining = len; remaining > 0; ++count) {
        const int32_t size = remaining < PACKET_DATA_SIZE ? remaining : PACKET_DATA_SIZE;
        packet& p = packets[count];
        p.length = size;
        Copy::copy(p.data, stream + (len - remaining), size);
        remaining -= size;
        p.last = remaining == 0 ? 1 : 0;
    }
    return count;
}

// A length below 0 counts as 0 and one above PACKET_DATA_SIZE as that, so no
// packet is read outside its record; stops before the total would pass
// INT32_MAX.
template <class Copy>
int32_t merge_packets(const packet* packets, uint8_t* stream, int32_t count)
{
    int32_t total = 0;
    for (int32_t j = 0; j < count; ++j) {
        const int32_t stated = packets[j].length;
        const int32_t length = stated < 0 ? 0 : (stated > PACKET_DATA_SIZE ? PACKET_DATA_SIZE : stated);
        if (length > INT32_MAX - total) {
            break;
        }
        Copy::copy(stream + total, packets[j].data, length);
        total += length;
    }
    return total;
}

#endif  // COMM_FRAMING_HPP
