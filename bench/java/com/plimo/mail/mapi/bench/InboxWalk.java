package com.plimo.mail.mapi.bench;

import com.plimo.mail.mapi.MAPIMessage;
import com.plimo.mail.mapi.MAPINative;
import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;

/**
 * The Inbox walk: log on, open the Inbox, getFolderMessages, then subject, sender, To,
 * CC, both dates and priority of every message, each through its native. Prints the time
 * of each phase, messages/s and the cost per message (also of the first and the last tenth
 * of the folder, which must not differ by more than noise), and the memory the message
 * list takes (resident size and JVM heap).
 *
 * <p>With EXPORT &gt; 0, afterwards exports that many messages as .msg (getMessageFile),
 * spread evenly over the folder, and prints the cost per message and per MB.
 *
 * <pre>InboxWalk PROFILE TEMP_DIR [EXPORT]</pre>
 *
 * The machine is shared and noisy: besides the elapsed time, the walking thread's CPU time
 * is given (it leaves out waits for the disk, which the elapsed time shows).
 *
 * Lines starting with "RESULT" carry the figures for the run script.
 */
public final class InboxWalk {

    private InboxWalk() {
    }

    public static void main(String[] args) throws Exception {
        if (args.length < 2) {
            System.err.println("usage: InboxWalk PROFILE TEMP_DIR [EXPORT]");
            System.exit(2);
        }
        int export = args.length > 2 ? Integer.parseInt(args[2]) : 0;
        long rss0 = ProcessMemory.rss();
        long heap0 = ProcessMemory.heapUsed();
        ThreadMXBean threads = ManagementFactory.getThreadMXBean();
        try (OpenInbox inbox = OpenInbox.open(args[0], args[1])) {
            int n = inbox.count();
            long rssOpen = ProcessMemory.rss();
            long heapOpen = ProcessMemory.heapUsed();
            long c0 = threads.getCurrentThreadCpuTime();
            MAPIMessage[] messages = inbox.list();
            double listCpu = (threads.getCurrentThreadCpuTime() - c0) / 1e9;
            long rssList = ProcessMemory.rss();
            long heapList = ProcessMemory.heapUsed();
            System.out.printf("inbox: %d messages; logon %.3f s, open %.3f s, getFolderMessages %.3f s"
                    + " (%.1f us/message; CPU %.1f us/message)%n", n, inbox.logonSeconds, inbox.openSeconds,
                    inbox.listSeconds, inbox.listSeconds * 1e6 / Math.max(1, n), listCpu * 1e6 / Math.max(1, n));

            // The walk. Every value is used, so that nothing is optimised away.
            long check = 0;
            int tenth = Math.max(1, n / 10);
            long firstTenth = 0;
            long lastTenthStart = 0;
            long firstTenthCpu = 0;
            long lastTenthCpuStart = 0;
            long cpu0 = threads.getCurrentThreadCpuTime();
            long t0 = System.nanoTime();
            long lastReport = t0;
            for (int i = 0; i < n; i++) {
                if (i == n - tenth) {
                    lastTenthStart = System.nanoTime();
                    lastTenthCpuStart = threads.getCurrentThreadCpuTime();
                }
                long h = messages[i].getMessagePointer();
                String subject = MAPINative.getMessageSubject(h);
                String[] from = MAPINative.getMessageFrom(h);
                String[] to = MAPINative.getMessageTo(h);
                String[] cc = MAPINative.getMessageCC(h);
                double sent = MAPINative.getMessageSentDate(h);
                double received = MAPINative.getMessageReceiveTime(h);
                String priority = MAPINative.getMessagePriority(h);
                check += subject.length() + from.length + to.length + cc.length + priority.charAt(0);
                check += (long) ((received - sent) * 86400);
                if (i + 1 == tenth) {
                    firstTenth = System.nanoTime() - t0;
                    firstTenthCpu = threads.getCurrentThreadCpuTime() - cpu0;
                }
                long now = System.nanoTime();
                if (now - lastReport > 5_000_000_000L) {
                    System.out.printf("  walked %d / %d%n", i + 1, n);
                    lastReport = now;
                }
            }
            long t1 = System.nanoTime();
            long cpu1 = threads.getCurrentThreadCpuTime();
            long lastTenth = t1 - lastTenthStart;
            long lastTenthCpu = cpu1 - lastTenthCpuStart;
            double walkCpu = (cpu1 - cpu0) / 1e9;
            double walk = (t1 - t0) / 1e9;
            long rssWalk = ProcessMemory.rss();
            long heapWalk = ProcessMemory.heapUsed();
            long hwm = ProcessMemory.hwm();
            double total = inbox.listSeconds + walk;

            System.out.printf("walk: %.3f s, %.0f messages/s, %.1f us/message"
                    + " (first tenth %.1f us, last tenth %.1f us; check %d)%n",
                    walk, n / walk, walk * 1e6 / n, firstTenth / 1e3 / tenth, lastTenth / 1e3 / tenth, check);
            System.out.printf("walk CPU: %.3f s, %.1f us/message (first tenth %.1f us, last tenth %.1f us)%n",
                    walkCpu, walkCpu * 1e6 / n, firstTenthCpu / 1e3 / tenth, lastTenthCpu / 1e3 / tenth);
            System.out.printf("list + walk: %.0f messages/s, %.1f us/message; CPU %.1f us/message%n", n / total,
                    total * 1e6 / n, (listCpu + walkCpu) * 1e6 / n);
            System.out.printf("memory: RSS %s at start, %s with the Inbox open, %s with the list, %s after the walk;"
                    + " peak %s%n", ProcessMemory.mib(rss0), ProcessMemory.mib(rssOpen), ProcessMemory.mib(rssList),
                    ProcessMemory.mib(rssWalk), ProcessMemory.mib(hwm));
            System.out.printf("        heap %s at start, %s with the list, %s after the walk%n",
                    ProcessMemory.mib(heap0), ProcessMemory.mib(heapList), ProcessMemory.mib(heapWalk));
            System.out.printf("        per message: %.0f bytes resident and %.0f bytes of heap for the list;"
                    + " %.0f bytes resident after the walk%n",
                    (double) (rssList - rssOpen) / n, (double) (heapList - heapOpen) / n,
                    (double) (rssWalk - rssOpen) / n);
            System.out.printf("RESULT messages=%d list_s=%.6f walk_s=%.6f walk_us=%.3f first_tenth_us=%.3f"
                    + " last_tenth_us=%.3f total_us=%.3f rss_open=%d rss_list=%d rss_walk=%d hwm=%d"
                    + " heap_open=%d heap_list=%d heap_walk=%d list_cpu_us=%.3f walk_cpu_us=%.3f"
                    + " first_tenth_cpu_us=%.3f last_tenth_cpu_us=%.3f%n",
                    n, inbox.listSeconds, walk, walk * 1e6 / n, firstTenth / 1e3 / tenth, lastTenth / 1e3 / tenth,
                    total * 1e6 / n, rssOpen, rssList, rssWalk, hwm, heapOpen, heapList, heapWalk,
                    listCpu * 1e6 / n, walkCpu * 1e6 / n, firstTenthCpu / 1e3 / tenth, lastTenthCpu / 1e3 / tenth);

            if (export > 0) {
                MessageExport.exportSome("inbox", messages, Math.min(export, n));
            }
        }
    }
}
