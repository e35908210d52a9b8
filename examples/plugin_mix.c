/*
 * A tiny plug-in-like program: it connects to the sample-file server (in
 * the background, as a plug-in must), sends the list of files it uses,
 * waits until none is left to load, attaches every channel of each file and
 * mixes the first frames into a stereo buffer, as an audio callback would.
 *
 * Build against the installed library:
 *   cc plugin_mix.c $(pkg-config --cflags --libs quillorantics-client) -o plugin_mix
 * Run:  ./plugin_mix /path/to/a.wav /path/to/b.wav
 */
#include <quillorantics/client.h>

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#define MIX_FRAMES 64

static void log_line(void *user_data, int level, const char *line) {
    (void)user_data;
    if (level >= QSF_LOG_WARNING)
        fprintf(stderr, "client: %s\n", line);
}

static void sleep_ms(long ms) {
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&t, NULL);
}

/* The audio callback's work: plain memory reads, nothing that may block. */
static void mix(qsf_file *const *files, int count, float *left, float *right, int frames) {
    for (int f = 0; f < frames; f++)
        left[f] = right[f] = 0.0f;
    for (int i = 0; i < count; i++) {
        if (files[i] == NULL)
            continue;
        const float *l = qsf_file_samples(files[i], 0);
        const float *r = qsf_file_channels(files[i]) > 1 ? qsf_file_samples(files[i], 1) : l;
        int n = qsf_file_frames(files[i]) < frames ? qsf_file_frames(files[i]) : frames;
        for (int f = 0; f < n; f++) {
            left[f] += 0.5f * l[f];
            right[f] += 0.5f * r[f];
        }
    }
}

int main(int argc, char **argv) {
    int count = argc - 1;
    if (count < 1) {
        fprintf(stderr, "usage: %s FILE...\n", argv[0]);
        return 2;
    }
    qsf_set_log_callback(log_line, NULL);

    /* Connect without blocking, then poll (a plug-in would do this from its UI timer). */
    qsf_client *client = qsf_client_create(NULL);
    int status = 0;
    qsf_client_connect_async(client);
    for (int i = 0; i < 1000 && qsf_client_state(client, &status) == QSF_STATE_CONNECTING; i++)
        sleep_ms(10);
    if (qsf_client_state(client, &status) != QSF_STATE_CONNECTED) {
        char why[512];
        qsf_client_last_error(client, why, sizeof why);
        fprintf(stderr, "not connected: %s %s\n", qsf_status_text(status), why);
        qsf_client_destroy(client);
        return 1;
    }

    /* The list of files in use, all of each file; then wait for progress 0. */
    status = qsf_client_send_list(client, (const char *const *)(argv + 1), NULL, (size_t)count);
    int32_t remaining = 1;
    for (int i = 0; status == QSF_OK && remaining > 0 && i < 1000; i++) {
        status = qsf_client_get_progress(client, &remaining);
        if (remaining > 0)
            sleep_ms(10);
    }
    if (status != QSF_OK || remaining > 0) {
        fprintf(stderr, "loading did not finish: %s\n", qsf_status_text(status));
        qsf_client_destroy(client);
        return 1;
    }

    /* What became of each file, and its channels attached in one call. */
    qsf_file_outcome *outcomes = calloc((size_t)count, sizeof *outcomes);
    qsf_file **files = calloc((size_t)count, sizeof *files);
    qsf_client_get_outcomes(client, outcomes, (size_t)count);
    int loaded = 0;
    for (int i = 0; i < count; i++) {
        if (outcomes[i].loaded) {
            files[i] = qsf_file_attach(argv[i + 1], outcomes[i].frames, &status);
            loaded += files[i] != NULL;
        }
        printf("%s: %s, %d channel(s), %d frames\n", argv[i + 1], files[i] ? "loaded" : "not loaded",
               (int)outcomes[i].channels, (int)outcomes[i].frames);
    }

    float left[MIX_FRAMES], right[MIX_FRAMES];
    mix(files, count, left, right, MIX_FRAMES);
    float peak = 0.0f;
    for (int f = 0; f < MIX_FRAMES; f++) {
        float a = left[f] < 0 ? -left[f] : left[f], b = right[f] < 0 ? -right[f] : right[f];
        peak = a > peak ? a : peak;
        peak = b > peak ? b : peak;
    }
    printf("mixed %d frames of %d file(s), peak %.6f\n", MIX_FRAMES, loaded, peak);

    for (int i = 0; i < count; i++)
        qsf_file_detach(files[i]);
    free(files);
    free(outcomes);
    qsf_client_destroy(client);
    return loaded == count ? 0 : 1;
}
