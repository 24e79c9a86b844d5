// Commands kept in flight: the probe works on one while the next ones cross
// the USB, so neither waits for the other. Answers come back in the order the
// commands went out; one that is lost or does not pair up ends it all.
#include "probe/dap_priv.h"

int dap_pipe_depth(const DapContext* ctx) {
    int n = ctx->packet_count ? ctx->packet_count : 1;
    return n < DAP_PIPE_MAX ? n : DAP_PIPE_MAX;
}

bool dap_pipeline(DapContext* ctx, const DapPipeOps* ops) {
    if (!ctx || !ctx->open) return false;
    const int depth = dap_pipe_depth(ctx);
    uint8_t cmd[DAP_PIPE_MAX][DAP_PKT_BUF];  // what each command in flight was, to pair its answer
    int sent = 0, taken = 0;
    bool more = true;
    for (;;) {
        if (more && sent - taken < depth) {
            uint8_t* c = cmd[sent % DAP_PIPE_MAX];
            const int len = ops->build(ops->user, sent, c);
            if (len > 0) {
                if (!dap_send(ctx, c, len)) return false;
                ++sent;
                continue;
            }
            // Below zero: this command must wait for the answers in flight.
            if (len == 0 || taken == sent) more = false;
        }
        if (taken == sent) return true;
        if (!dap_recv(ctx, cmd[taken % DAP_PIPE_MAX][0])) return false;
        if (!ops->take(ops->user, taken++, ctx)) more = false;
    }
}
