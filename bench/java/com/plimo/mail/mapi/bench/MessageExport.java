package com.plimo.mail.mapi.bench;

import com.plimo.mail.mapi.MAPIMessage;
import com.plimo.mail.mapi.MAPINative;
import java.io.File;
import javax.mail.MessagingException;

/**
 * The .msg export: getMessageFile of every message of the Inbox (or of MAX of them, spread
 * over the folder). Prints the cost per message and per MB of .msg written.
 *
 * <pre>MessageExport PROFILE TEMP_DIR [MAX]</pre>
 */
public final class MessageExport {

    private MessageExport() {
    }

    public static void main(String[] args) throws Exception {
        if (args.length < 2) {
            System.err.println("usage: MessageExport PROFILE TEMP_DIR [MAX]");
            System.exit(2);
        }
        try (OpenInbox inbox = OpenInbox.open(args[0], args[1])) {
            MAPIMessage[] messages = inbox.list();
            int count = args.length > 2 ? Math.min(Integer.parseInt(args[2]), messages.length) : messages.length;
            exportSome("mixed", messages, count);
        }
    }

    /** getMessageFile of `count` messages spread evenly over `messages`; only the calls are timed. */
    static void exportSome(String what, MAPIMessage[] messages, int count) throws MessagingException {
        long bytes = 0;
        long nanos = 0;
        long rss0 = ProcessMemory.rss();
        for (int k = 0; k < count; k++) {
            long h = messages[(int) ((long) k * messages.length / count)].getMessagePointer();
            long t0 = System.nanoTime();
            String path = MAPINative.getMessageFile(h);
            nanos += System.nanoTime() - t0;
            bytes += new File(path).length();
            // Discards the message's content and its .msg file, so that the files do not pile up.
            MAPINative.setMessageDeleteFlag(h, false);
        }
        double s = nanos / 1e9;
        double mb = bytes / 1e6;
        System.out.printf("getMessageFile (%s): %d messages, %.1f MB of .msg (%.1f KB each) in %.3f s:"
                + " %.2f ms/message, %.1f ms/MB (%.1f MB/s), %.0f messages/s; RSS %s before, %s after,"
                + " peak %s%n", what, count, mb, mb * 1e3 / count, s, s * 1e3 / count, s * 1e3 / mb, mb / s,
                count / s, ProcessMemory.mib(rss0), ProcessMemory.mib(ProcessMemory.rss()),
                ProcessMemory.mib(ProcessMemory.hwm()));
        System.out.printf("RESULT export=%s count=%d bytes=%d seconds=%.6f ms_per_message=%.4f ms_per_mb=%.4f%n",
                what, count, bytes, s, s * 1e3 / count, s * 1e3 / mb);
    }
}
