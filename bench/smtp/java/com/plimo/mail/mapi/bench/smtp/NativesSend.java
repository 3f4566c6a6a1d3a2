package com.plimo.mail.mapi.bench.smtp;

import static com.plimo.mail.mapi.bench.smtp.BenchMessage.FROM;
import static com.plimo.mail.mapi.bench.smtp.BenchMessage.FROM_NAME;
import static com.plimo.mail.mapi.bench.smtp.BenchMessage.TO_NAME;
import static com.plimo.mail.mapi.bench.smtp.BenchMessage.attachmentName;
import static com.plimo.mail.mapi.bench.smtp.BenchMessage.body;
import static com.plimo.mail.mapi.bench.smtp.BenchMessage.subject;

import com.plimo.mail.mapi.MAPINative;
import java.io.BufferedReader;
import java.io.File;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;

/**
 * COUNT messages, each with a subject, a plain text body and FILE attached, to one
 * recipient, composed and sent through the natives:
 *
 * <pre>
 * NativesSend PROFILE TEMP_DIR TOOL COUNT FILE TO TAG
 * </pre>
 *
 * getTransport, then for each message createMessage, the setters, addMessageAttachment,
 * sendMessage, destroyMessage. The background spooler of this process sends them to the
 * profile's transport (SMTP) while the loop goes on. The clock runs from the first
 * createMessage until `TOOL spool list PROFILE` shows an empty submission queue: the
 * spooler takes a message off the queue, and files it in Sent Items, in one transaction
 * once the server has accepted it. A message that failed an attempt (it would wait a
 * minute or more for the next) ends the run with exit 1.
 */
public final class NativesSend {

    /** How often the queue is looked at after the last sendMessage. */
    private static final long POLL_MS = 100;
    /** Longest wait for the queue to empty. */
    private static final long QUEUE_TIMEOUT_MS = 900_000;

    private NativesSend() {
    }

    public static void main(String[] args) throws Exception {
        if (args.length != 7) {
            System.err.println("usage: NativesSend PROFILE TEMP_DIR TOOL COUNT FILE TO TAG");
            System.exit(2);
        }
        send(args[0], args[1], args[2], Integer.parseInt(args[3]), args[4], args[5], args[6]);
    }

    /** The queue as `spool list` prints it: its "queue" lines, or null when it could not be read. */
    private static List<String> queueLines(String tool, String profile) throws Exception {
        ProcessBuilder pb = new ProcessBuilder(tool, "spool", "list", profile);
        pb.redirectError(ProcessBuilder.Redirect.INHERIT);
        Process p = pb.start();
        List<String> lines = new ArrayList<>();
        try (BufferedReader r = new BufferedReader(
                new InputStreamReader(p.getInputStream(), StandardCharsets.UTF_8))) {
            String line;
            while ((line = r.readLine()) != null) {
                if (line.startsWith("queue\t")) {
                    lines.add(line);
                }
            }
        }
        return p.waitFor() == 0 ? lines : null;
    }

    private static void send(String profile, String temp, String tool, int count, String file, String to,
            String tag) throws Exception {
        if (!new File(file).isFile()) {
            throw new IllegalArgumentException("no such file: " + file);
        }
        MAPINative.initMapi();
        long transport = MAPINative.getTransport(profile, "", temp, "Sent Items");
        try {
            long t0 = System.nanoTime();
            for (int i = 0; i < count; i++) {
                long message = MAPINative.createMessage(transport);
                try {
                    MAPINative.setMessageSubject(message, subject(tag, i));
                    MAPINative.addMessageFrom(message, FROM_NAME, FROM);
                    MAPINative.addMessageToRecipient(message, TO_NAME, to);
                    MAPINative.setMessagePlainTextBody(message, body(i));
                    MAPINative.addMessageAttachment(message, attachmentName(i), "application/octet-stream", file);
                    MAPINative.sendMessage(message);
                } finally {
                    MAPINative.destroyMessage(message);
                }
            }
            long submitted = System.nanoTime();
            // The transport stays open meanwhile: its session's spooler sends in the background.
            long deadline = submitted + QUEUE_TIMEOUT_MS * 1_000_000L;
            List<String> left;
            while (true) {
                left = queueLines(tool, profile);
                if (left != null) {
                    if (left.isEmpty()) {
                        break;
                    }
                    for (String line : left) {
                        // queue ID STATE QUEUED ATTEMPTS NEXT-ATTEMPT DONE/RECIPIENTS SUBJECT LAST-ERROR
                        String[] f = line.split("\t", -1);
                        if (f.length >= 9 && !f[8].equals("-")) {
                            System.err.println("natives: a message was not accepted: " + line);
                            System.exit(1);
                        }
                    }
                }
                if (System.nanoTime() > deadline) {
                    System.err.println("natives: the queue still holds " + (left == null ? "?" : left.size())
                            + " messages after " + QUEUE_TIMEOUT_MS / 1000 + " s");
                    System.exit(1);
                }
                Thread.sleep(POLL_MS);
            }
            long done = System.nanoTime();
            BenchMessage.result("natives", count, t0, submitted, done);
        } finally {
            MAPINative.closeTransport(transport);
        }
    }
}
