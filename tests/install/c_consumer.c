/* Built with a C compiler against the installed package: the C interface. */
#include <stdio.h>
#include <tessal/tessal.h>

int main(void) {
    tessal_context *ctx = NULL;
    tessal_session *session = NULL;
    tessal_create_ctx(&ctx);
    if (ctx == NULL) {
        return 1;
    }
    tessal_create_session(ctx, &session, "127.0.0.1");
    if (session == NULL) {
        return 1;
    }
    /* A null stream is refused with RTP_BAD_ARGUMENT (-4). */
    if (tessal_destroy_stream(session, NULL) != -4) {
        return 1;
    }
    tessal_stream_statistics stats;
    if (tessal_stream_get_statistics(NULL, &stats) != -4) {
        return 1;
    }
    tessal_destroy_session(ctx, session);
    tessal_destroy_ctx(ctx);
    printf("C consumer linked against tessal\n");
    return 0;
}
