package com.plimo.mail.mapi.bench;

import com.plimo.mail.mapi.MAPIBodyPart;
import com.plimo.mail.mapi.MAPIMessage;
import com.plimo.mail.mapi.MAPIMultipart;
import com.plimo.mail.mapi.MAPINative;
import java.io.File;
import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.nio.file.Files;
import java.nio.file.Paths;
import javax.mail.MessagingException;

/**
 * A large attachment out of the store, from the first message of the Inbox:
 *
 * <pre>
 * AttachmentWrite PROFILE TEMP_DIR write OUT_FILE [LINK]
 *     getMessageContent, the largest attachment part, writeBodypartToFile(OUT_FILE);
 *     LINK, when given, is a hard link made to OUT_FILE before the part deletes it
 *     (the message's content is discarded at close), so that its bytes can be compared.
 * AttachmentWrite PROFILE TEMP_DIR msg
 *     getMessageFile of that message.
 * </pre>
 *
 * Prints the time, the throughput and the growth of the process's resident size over its
 * size before the call, at its peak during the call (VmHWM after resetting it; where the
 * kernel does not allow that, the largest VmRSS a sampling thread saw).
 */
public final class AttachmentWrite {

    private AttachmentWrite() {
    }

    public static void main(String[] args) throws Exception {
        if (args.length < 3 || !(args[2].equals("write") && args.length >= 4 || args[2].equals("msg"))) {
            System.err.println("usage: AttachmentWrite PROFILE TEMP_DIR write OUT_FILE [LINK]\n"
                    + "       AttachmentWrite PROFILE TEMP_DIR msg");
            System.exit(2);
        }
        try (OpenInbox inbox = OpenInbox.open(args[0], args[1])) {
            MAPIMessage[] messages = inbox.list();
            if (messages.length == 0) {
                throw new MessagingException("the Inbox of " + args[0] + " is empty");
            }
            MAPIMessage message = messages[0];
            long h = message.getMessagePointer();
            if (args[2].equals("write")) {
                write(message, args[3], args.length > 4 ? args[4] : null);
            } else {
                exportMsg(h);
            }
        }
    }

    private static void write(MAPIMessage message, String out, String link) throws Exception {
        long rssBefore = ProcessMemory.rss();
        long t0 = System.nanoTime();
        MAPIMultipart multipart = MAPINative.getMessageContent(message.getMessagePointer(), message);
        if (multipart == null) {
            throw new MessagingException("the message has no content");
        }
        long mp = multipart.getMultipartPointer();
        int count = MAPINative.getMultipartCount(mp);
        MAPIBodyPart found = null;
        for (int i = 0; i < count; i++) {
            MAPIBodyPart part = MAPINative.getMultipartBodypart(mp, multipart, i);
            if (part != null && (found == null || part.getSize() > found.getSize())) {
                found = part;
            }
        }
        final MAPIBodyPart largest = found;
        if (largest == null) {
            throw new MessagingException("the message has no parts");
        }
        double contentSeconds = (System.nanoTime() - t0) / 1e9;
        System.out.printf("getMessageContent and %d parts: %.3f s, RSS %s -> %s; attachment of %d bytes%n",
                count, contentSeconds, ProcessMemory.mib(rssBefore), ProcessMemory.mib(ProcessMemory.rss()),
                largest.getSize());

        Measured m = measure(() -> MAPINative.writeBodypartToFile(largest.getBodyPartPointer(), out));
        long bytes = new File(out).length();
        m.print("writeBodypartToFile", bytes);
        System.out.printf("RESULT write_bytes=%d write_s=%.6f write_cpu_s=%.6f rss_before=%d growth=%d heap_growth=%d%n",
                bytes, m.seconds, m.cpuSeconds, m.rssBefore, m.growth(), m.heapAfter - m.heapBefore);
        if (link != null) {
            Files.deleteIfExists(Paths.get(link));
            Files.createLink(Paths.get(link), Paths.get(out));
        }
    }

    private static void exportMsg(long h) throws Exception {
        String[] path = new String[1];
        Measured m = measure(() -> path[0] = MAPINative.getMessageFile(h));
        long bytes = new File(path[0]).length();
        m.print("getMessageFile", bytes);
        System.out.printf("RESULT msg_bytes=%d msg_s=%.6f msg_cpu_s=%.6f rss_before=%d growth=%d heap_growth=%d%n",
                bytes, m.seconds, m.cpuSeconds, m.rssBefore, m.growth(), m.heapAfter - m.heapBefore);
        MAPINative.setMessageDeleteFlag(h, false);  // discards the .msg file
    }

    interface Call {
        void run() throws Exception;
    }

    static final class Measured {
        long rssBefore;
        long heapBefore;
        boolean peakReset;
        long hwmAfter;
        long sampledMax;
        long heapAfter;
        double seconds;
        double cpuSeconds;

        long growth() {
            long peak = peakReset ? Math.max(hwmAfter, sampledMax) : sampledMax;
            return peak - rssBefore;
        }

        void print(String what, long bytes) {
            System.out.printf("%s: %d bytes in %.3f s, %.1f MB/s (CPU %.3f s, %.1f MB per CPU second);"
                    + " resident growth at the peak %s (%s), heap allocated %s%n", what, bytes, seconds,
                    bytes / seconds / 1e6, cpuSeconds, bytes / cpuSeconds / 1e6,
                    ProcessMemory.mib(growth()), peakReset ? "VmHWM reset before the call" : "sampled VmRSS",
                    ProcessMemory.mib(heapAfter - heapBefore));
        }
    }

    static Measured measure(Call call) throws Exception {
        Measured m = new Measured();
        m.heapBefore = ProcessMemory.heapUsed();
        m.peakReset = ProcessMemory.resetPeak();
        m.rssBefore = ProcessMemory.rss();
        // The sampler allocates as it reads: only where VmHWM cannot be reset.
        ProcessMemory.Sampler sampler = m.peakReset ? null : new ProcessMemory.Sampler();
        try {
            ThreadMXBean threads = ManagementFactory.getThreadMXBean();
            long c0 = threads.getCurrentThreadCpuTime();
            long t0 = System.nanoTime();
            call.run();
            m.seconds = (System.nanoTime() - t0) / 1e9;
            m.cpuSeconds = (threads.getCurrentThreadCpuTime() - c0) / 1e9;
        } finally {
            if (sampler != null) {
                sampler.close();
            }
        }
        m.sampledMax = sampler != null ? sampler.max() : ProcessMemory.rss();
        m.hwmAfter = ProcessMemory.hwm();
        Runtime rt = Runtime.getRuntime();
        m.heapAfter = rt.totalMemory() - rt.freeMemory();
        return m;
    }
}
