// DAP_Transfer and DAP_TransferBlock. Posted AP reads are hidden from the
// host: the firmware fetches each read's own value (from the next AP read or
// from RDBUFF). A bus error surfaces one transaction late, so when a
// transaction FAULTs right after an AP access that answered OK, that AP
// access is the one that failed: the reported count stops before it, and
// AP writes are confirmed with an RDBUFF read at the end of the batch, so a
// failed write is never reported as done.
#include "sim/dap_fw_priv.h"

static const uint8_t kTdTimestamp = 0x80;
static const uint8_t kMatchValue = 0x10;
static const uint8_t kMatchMask = 0x20;
static const uint8_t kRdbuff = SIM_SWD_RNW | 0x0C;

bool sim_dap_measure_transfer(const uint8_t* req, size_t n, size_t* req_len, size_t* resp_len) {
    if (n < 3) return false;
    unsigned count = req[2];
    size_t pos = 3, resp = 3;
    for (unsigned i = 0; i < count; ++i) {
        if (pos >= n) return false;
        uint8_t r = req[pos++];
        if (r & 0x40) return false;  // reserved bit
        bool read = (r & SIM_SWD_RNW) != 0;
        if (read && (r & kMatchMask)) return false;
        if (!read && (r & kMatchValue)) return false;
        if (!read || (r & kMatchValue)) {
            if (n - pos < 4) return false;
            pos += 4;
        }
        if (r & kTdTimestamp) resp += 4;
        if (read && !(r & kMatchValue)) resp += 4;
    }
    *req_len = pos;
    *resp_len = resp;
    return true;
}

bool sim_dap_measure_block(const uint8_t* req, size_t n, size_t* req_len, size_t* resp_len) {
    if (n < 5) return false;
    size_t count = sim_dap_get16(req + 2);
    uint8_t r = req[4];
    if (r & 0xF0) return false;  // no value match or timestamps in a block
    bool read = (r & SIM_SWD_RNW) != 0;
    *req_len = 5 + (read ? 0 : 4 * count);
    *resp_len = 4 + (read ? 4 * count : 0);
    return *req_len <= n;
}

namespace {

// Which AP access still waits for a later transaction to prove it worked.
struct Confirm {
    SimDap* d;
    long unconfirmed = -1;
    uint8_t ack = SIM_SWD_ACK_OK;
    long cut = -1;  // set on failure: transfers before this index are done

    bool tx(uint8_t request, uint32_t* data, long index) {
        uint8_t a = sim_dap_swd(d, request, data);
        if (a != SIM_SWD_ACK_OK) {
            ack = a;
            cut = unconfirmed >= 0 ? unconfirmed : index;
            return false;
        }
        if (!sim_swd_exempt(request)) unconfirmed = -1;
        if (request & SIM_SWD_APNDP) unconfirmed = index;
        return true;
    }
};

}  // namespace

void sim_dap_transfer(SimDap* d, const uint8_t* req, SimDapOut* o) {
    unsigned count = req[2];
    const uint8_t* p = req + 3;
    sim_dap_put8(o, SIM_DAP_TRANSFER);
    sim_dap_put8(o, 0);
    sim_dap_put8(o, 0);
    if (!d->connected) {
        o->p[2] = SIM_SWD_ACK_NONE;  // pins not driven: nobody answers
        return;
    }
    size_t start[257];
    Confirm c{d};
    long pending = -1;
    uint8_t flags = 0;
    unsigned done = 0;
    bool stopped = false;

    auto flush = [&](long index) {
        if (pending < 0) return true;
        uint32_t v = 0;
        if (!c.tx(kRdbuff, &v, index)) return false;
        sim_dap_put32(o, v);
        pending = -1;
        return true;
    };

    for (unsigned i = 0; i < count && !stopped; ++i) {
        start[i] = o->len;
        uint8_t r = *p++;
        uint8_t wire = r & 0x0F;
        bool ts = (r & kTdTimestamp) != 0;
        if (r & SIM_SWD_RNW) {
            bool match = (r & kMatchValue) != 0;
            uint32_t want = 0;
            if (match) {
                want = sim_dap_get32(p);
                p += 4;
            }
            if ((r & SIM_SWD_APNDP) && !match) {
                uint32_t stamp = sim_dap_timestamp(d);
                uint32_t v = 0;
                if (!c.tx(wire, &v, i)) break;
                if (pending >= 0) sim_dap_put32(o, v);
                start[i] = o->len;
                if (ts) sim_dap_put32(o, stamp);
                pending = i;
            } else {
                if (!flush(i)) break;
                start[i] = o->len;
                uint32_t v = 0;
                if ((r & SIM_SWD_APNDP) && !c.tx(wire, &v, i)) break;  // starts the posted read
                bool failed = false, matched = !match;
                for (unsigned tries = 0;; ++tries) {
                    if (!c.tx(wire, &v, i)) {
                        failed = true;
                        break;
                    }
                    if (!match || (v & d->match_mask) == want) {
                        matched = true;
                        break;
                    }
                    if (tries >= d->match_retry) break;
                }
                if (failed) break;
                if (!matched) {
                    flags |= SIM_DAP_TRANSFER_MISMATCH;
                    done = i;
                    o->len = start[i];
                    stopped = true;
                    break;
                }
                if (ts) sim_dap_put32(o, sim_dap_timestamp(d));
                if (!match) sim_dap_put32(o, v);
            }
        } else {
            uint32_t v = sim_dap_get32(p);
            p += 4;
            if (r & kMatchMask) {
                d->match_mask = v;
            } else {
                if (!flush(i)) break;
                start[i] = o->len;
                if (!c.tx(wire, &v, i)) break;
            }
            if (ts) sim_dap_put32(o, sim_dap_timestamp(d));
        }
        done = i + 1;
    }
    if (c.cut < 0 && !stopped) {
        start[count] = o->len;
        uint32_t v = 0;
        if (pending >= 0) flush(count);
        else if (c.unconfirmed >= 0) c.tx(kRdbuff, &v, count);
    }
    if (c.cut >= 0) {
        done = (unsigned)c.cut;
        o->len = start[c.cut];
    }
    o->p[1] = (uint8_t)done;
    o->p[2] = (uint8_t)(c.ack | flags);
}

void sim_dap_transfer_block(SimDap* d, const uint8_t* req, SimDapOut* o) {
    unsigned count = sim_dap_get16(req + 2);
    uint8_t r = req[4] & 0x0F;
    const uint8_t* p = req + 5;
    sim_dap_put8(o, SIM_DAP_TRANSFER_BLOCK);
    sim_dap_put16(o, 0);
    sim_dap_put8(o, 0);
    if (!d->connected) {
        o->p[3] = SIM_SWD_ACK_NONE;
        return;
    }
    Confirm c{d};
    bool read = (r & SIM_SWD_RNW) != 0, ap = (r & SIM_SWD_APNDP) != 0;
    uint32_t v = 0;
    if (read && ap) {
        // n AP reads answer n-1 values; RDBUFF gives the last.
        if (count > 0 && c.tx(r, &v, 0)) {
            unsigned k = 1;
            for (; k < count; ++k) {
                if (!c.tx(r, &v, k)) break;
                sim_dap_put32(o, v);
            }
            if (k == count && c.tx(kRdbuff, &v, count)) sim_dap_put32(o, v);
        }
    } else {
        for (unsigned k = 0; k < count; ++k) {
            if (!read) {
                v = sim_dap_get32(p);
                p += 4;
            }
            if (!c.tx(r, &v, k)) break;
            if (read) sim_dap_put32(o, v);
        }
        if (c.cut < 0 && c.unconfirmed >= 0) c.tx(kRdbuff, &v, count);
    }
    unsigned done = c.cut >= 0 ? (unsigned)c.cut : count;
    o->len = 4 + (read ? 4 * (size_t)done : 0);
    o->p[1] = (uint8_t)(done & 0xFF);
    o->p[2] = (uint8_t)(done >> 8);
    o->p[3] = count == 0 ? (uint8_t)SIM_SWD_ACK_OK : c.ack;
}
