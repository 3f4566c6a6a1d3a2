package com.plimo.mail.mapi.bench.smtp;

/**
 * What every variant of the SMTP sending benchmark puts in its messages (bench/smtp/run.sh):
 * the same sender, subject, text body and attachment name, and its RESULT line.
 */
final class BenchMessage {

    static final String FROM = "sender@bench.test";
    static final String FROM_NAME = "Bench Sender";
    static final String TO_NAME = "Bench Receiver";

    private BenchMessage() {
    }

    static String subject(String tag, int i) {
        return "Benchmark " + tag + " message " + i;
    }

    static String body(int i) {
        return "Message " + i + " of the SMTP sending benchmark.\nThe attachment holds random bytes.\n";
    }

    static String attachmentName(int i) {
        return "data-" + i + ".bin";
    }

    static void result(String variant, int count, long t0, long submitted, long done) {
        double seconds = (done - t0) / 1e9;
        double submitSeconds = (submitted - t0) / 1e9;
        System.out.printf("%s: %d messages accepted in %.2f s: %.1f messages/s (the last one handed over after %.2f s)%n",
                variant, count, seconds, count / seconds, submitSeconds);
        System.out.printf("RESULT variant=%s count=%d seconds=%.6f submit_seconds=%.6f rate=%.3f%n", variant, count,
                seconds, submitSeconds, count / seconds);
    }
}
