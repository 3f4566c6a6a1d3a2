package com.plimo.mail.mapi.bench;

import com.plimo.mail.mapi.MAPINative;
import javax.mail.MessagingException;

/**
 * Sending through the natives:
 *
 * <pre>
 * SendBench attach PROFILE TEMP_DIR FILE
 *     createMessage, then addMessageAttachment(FILE) once, timed, with the growth of the
 *     resident size at its peak during the call; the message is destroyed unsent.
 * SendBench send PROFILE TEMP_DIR COUNT FILE TO RECEIVER
 *     COUNT messages, each with a subject, a plain body and FILE attached, composed and
 *     sent to TO through one transport; prints the submit rate (sendMessage returned),
 *     then waits until the Inbox of the profile RECEIVER holds COUNT more messages and
 *     prints the time until then (the spooler of this process delivers them).
 * </pre>
 *
 * Prints RESULT lines for bench/send/run.sh; asserts nothing.
 */
public final class SendBench {

    private SendBench() {
    }

    public static void main(String[] args) throws Exception {
        if (args.length >= 4 && args[0].equals("attach")) {
            attach(args[1], args[2], args[3]);
        } else if (args.length >= 7 && args[0].equals("send")) {
            send(args[1], args[2], Integer.parseInt(args[3]), args[4], args[5], args[6]);
        } else {
            System.err.println("usage: SendBench attach PROFILE TEMP_DIR FILE\n"
                    + "       SendBench send PROFILE TEMP_DIR COUNT FILE TO RECEIVER");
            System.exit(2);
        }
    }

    private static void attach(String profile, String temp, String file) throws MessagingException {
        MAPINative.initMapi();
        long transport = MAPINative.getTransport(profile, "", temp, "Sent Items");
        try {
            long message = MAPINative.createMessage(transport);
            try {
                long size = new java.io.File(file).length();
                long rssBefore = ProcessMemory.rss();
                long t0;
                long t1;
                long peak;
                try (ProcessMemory.Sampler sampler = new ProcessMemory.Sampler()) {
                    t0 = System.nanoTime();
                    MAPINative.addMessageAttachment(message, "data.bin", "application/octet-stream", file);
                    t1 = System.nanoTime();
                    peak = sampler.max();
                }
                double seconds = (t1 - t0) / 1e9;
                System.out.printf("addMessageAttachment of %s: %.3f s, %.0f MB/s, peak resident growth %s%n",
                        ProcessMemory.mib(size), seconds, size / seconds / 1e6,
                        ProcessMemory.mib(Math.max(0, peak - rssBefore)));
                System.out.printf("RESULT seconds=%.6f bytes=%d peak_growth=%d%n", seconds, size,
                        Math.max(0, peak - rssBefore));
            } finally {
                MAPINative.destroyMessage(message);
            }
        } finally {
            MAPINative.closeTransport(transport);
        }
    }

    private static int inboxCount(String profile, String temp) throws MessagingException {
        long store = MAPINative.getStore(profile, "", "", temp);
        try {
            long folder = MAPINative.getInbox(store);
            try {
                MAPINative.openFolder(folder, 0);
                return MAPINative.getFolderMessageCount(folder);
            } finally {
                MAPINative.closeFolder(folder, false);
            }
        } finally {
            MAPINative.closeStore(store);
        }
    }

    private static void send(String profile, String temp, int count, String file, String to, String receiver)
            throws Exception {
        MAPINative.initMapi();
        int before = inboxCount(receiver, temp);
        long transport = MAPINative.getTransport(profile, "", temp, "Sent Items");
        long t0 = System.nanoTime();
        long submitted;
        try {
            for (int i = 0; i < count; i++) {
                long message = MAPINative.createMessage(transport);
                try {
                    MAPINative.setMessageSubject(message, "Benchmark message " + i);
                    MAPINative.addMessageFrom(message, "Bench Sender", "sender@bench.test");
                    MAPINative.addMessageToRecipient(message, "Bench Receiver", to);
                    MAPINative.setMessagePlainTextBody(message, "Message " + i + " of the sending benchmark.\n");
                    MAPINative.addMessageAttachment(message, "data-" + i + ".bin", "application/octet-stream",
                            file);
                    MAPINative.sendMessage(message);
                } finally {
                    MAPINative.destroyMessage(message);
                }
            }
            submitted = System.nanoTime();
            double submitSeconds = (submitted - t0) / 1e9;
            System.out.printf("submitted %d messages in %.2f s: %.0f messages/s%n", count, submitSeconds,
                    count / submitSeconds);
            // The transport stays open: its session's spooler delivers in the background.
            long deadline = System.nanoTime() + 600_000_000_000L;
            int arrived = 0;
            while (System.nanoTime() < deadline) {
                arrived = inboxCount(receiver, temp) - before;
                if (arrived >= count) {
                    break;
                }
                Thread.sleep(50);
            }
            long done = System.nanoTime();
            double allSeconds = (done - t0) / 1e9;
            System.out.printf("%d of %d in the receiver's Inbox %.2f s after the first submit: %.0f messages/s%n",
                    arrived, count, allSeconds, arrived / allSeconds);
            System.out.printf("RESULT submit_seconds=%.6f all_seconds=%.6f count=%d arrived=%d%n", submitSeconds,
                    allSeconds, count, arrived);
        } finally {
            MAPINative.closeTransport(transport);
        }
    }
}
