package com.plimo.mail.mapi.bench.compare;

import java.io.File;
import java.io.FileOutputStream;
import java.io.IOException;
import java.io.OutputStreamWriter;
import java.io.PrintWriter;
import java.nio.charset.StandardCharsets;
import java.util.Locale;

/**
 * What one walk found and how long it took. Every walk of the comparison reads the same
 * fields of every message and counts what it read here; the counts go to a file of one row
 * per message (written after the walk, outside the timed part) and to one summary line,
 * which bench/compare/run.sh checks against the corpus's manifest and the other walks.
 *
 * <p>The first {@code warmup} messages are walked and counted but not timed: the JIT and
 * the caches warm up on them. The timed part runs from the first message after them to the
 * end of the walk.
 */
final class WalkTally {

    private final String walk;
    private final int count;
    private final int warmup;
    private final int[] bodies;
    private final long[] bodyChars;
    private final int[] attachments;
    private final long[] attachmentBytes;
    private final int[] to;
    private final int[] cc;
    private final int[] priority;
    /** A sum over every string read (lengths and dates), so that no read can be skipped. */
    private long fieldSum;
    private long start;
    private long elapsedNanos = -1;

    WalkTally(String walk, int count, int warmup) {
        this.walk = walk;
        this.count = count;
        this.warmup = warmup;
        bodies = new int[count + 1];
        bodyChars = new long[count + 1];
        attachments = new int[count + 1];
        attachmentBytes = new long[count + 1];
        to = new int[count + 1];
        cc = new int[count + 1];
        priority = new int[count + 1];
    }

    /**
     * The warm-up: {@code requested} messages, at most half the walk, rounded down to whole
     * chunks so that the timed part starts with a chunk of its own.
     */
    static int warmup(int requested, int count, int chunk) {
        int w = Math.min(requested, count / 2);
        return Math.max(0, w / chunk * chunk);
    }

    int warmup() {
        return warmup;
    }

    /** Called before message {@code n} (1-based) is read; starts the clock after the warm-up. */
    void before(int n) {
        if (n == warmup + 1) {
            start = System.nanoTime();
        }
    }

    void finish() {
        elapsedNanos = System.nanoTime() - start;
    }

    void field(String s) {
        if (s != null) {
            fieldSum += s.length();
        }
    }

    void field(long value) {
        fieldSum += value;
    }

    void recipients(int n, int toCount, int ccCount) {
        to[n] = toCount;
        cc[n] = ccCount;
    }

    void priority(int n, int value) {
        priority[n] = value;
    }

    void body(int n, String text) {
        bodies[n]++;
        bodyChars[n] += text.length();
    }

    void attachment(int n, long bytes) {
        attachments[n]++;
        attachmentBytes[n] += bytes;
    }

    /** The rows (n, bodies, body characters, attachments, their bytes, To, Cc, priority) and the summary. */
    void report(String recordsFile) throws IOException {
        if (elapsedNanos < 0) {
            throw new IllegalStateException("the walk did not finish");
        }
        long totalBodies = 0;
        long totalChars = 0;
        long totalAttachments = 0;
        long totalBytes = 0;
        long totalTo = 0;
        long totalCc = 0;
        try (PrintWriter out = new PrintWriter(
                new OutputStreamWriter(new FileOutputStream(new File(recordsFile)), StandardCharsets.UTF_8))) {
            out.println("n\tbodies\tbody_chars\tattachments\tattachment_bytes\tto\tcc\tpriority");
            for (int n = 1; n <= count; n++) {
                out.println(n + "\t" + bodies[n] + "\t" + bodyChars[n] + "\t" + attachments[n] + "\t"
                        + attachmentBytes[n] + "\t" + to[n] + "\t" + cc[n] + "\t" + priority[n]);
                totalBodies += bodies[n];
                totalChars += bodyChars[n];
                totalAttachments += attachments[n];
                totalBytes += attachmentBytes[n];
                totalTo += to[n];
                totalCc += cc[n];
            }
        }
        int timed = count - warmup;
        System.out.println(String.format(Locale.ROOT,
                "WALK %s messages=%d timed=%d elapsed_ms=%.1f us_per_message=%.1f bodies=%d body_chars=%d"
                        + " attachments=%d attachment_bytes=%d to=%d cc=%d fields=%d",
                walk, count, timed, elapsedNanos / 1e6, timed > 0 ? elapsedNanos / 1e3 / timed : 0.0,
                totalBodies, totalChars, totalAttachments, totalBytes, totalTo, totalCc, fieldSum));
    }
}
