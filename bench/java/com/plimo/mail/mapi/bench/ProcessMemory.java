package com.plimo.mail.mapi.bench;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;

/**
 * The process's memory as Linux counts it ({@code /proc/self/status}), and the JVM heap.
 *
 * <p>The peak of a phase: {@link #resetPeak()} sets VmHWM back to the current resident
 * size (writing 5 to {@code /proc/self/clear_refs}); where the kernel refuses that, a
 * {@link Sampler} thread reading VmRSS every millisecond or two stands in for it.
 */
final class ProcessMemory {

    private static final Path STATUS = Paths.get("/proc/self/status");

    private ProcessMemory() {
    }

    /** A field of /proc/self/status in bytes (the kernel gives kB), or -1. */
    static long status(String field) {
        try {
            for (String line : Files.readAllLines(STATUS, StandardCharsets.US_ASCII)) {
                if (line.startsWith(field + ":")) {
                    String[] parts = line.substring(field.length() + 1).trim().split("\\s+");
                    return Long.parseLong(parts[0]) * 1024;
                }
            }
        } catch (IOException | NumberFormatException e) {
            return -1;
        }
        return -1;
    }

    static long rss() {
        return status("VmRSS");
    }

    static long hwm() {
        return status("VmHWM");
    }

    /** True when VmHWM now equals the current resident size. */
    static boolean resetPeak() {
        try {
            Files.write(Paths.get("/proc/self/clear_refs"), "5".getBytes(StandardCharsets.US_ASCII));
            return true;
        } catch (IOException | SecurityException e) {
            return false;
        }
    }

    /** Heap in use after a full collection. */
    static long heapUsed() {
        Runtime rt = Runtime.getRuntime();
        for (int i = 0; i < 3; i++) {
            System.gc();
        }
        return rt.totalMemory() - rt.freeMemory();
    }

    static String mib(long bytes) {
        return String.format("%.1f MiB", bytes / 1048576.0);
    }

    /** Samples VmRSS until closed; {@link #max()} is the largest value seen. */
    static final class Sampler implements AutoCloseable {
        private final Thread thread;
        private volatile boolean running = true;
        private volatile long max;

        Sampler() {
            max = rss();
            thread = new Thread(() -> {
                while (running) {
                    long v = rss();
                    if (v > max) {
                        max = v;
                    }
                    try {
                        Thread.sleep(1);
                    } catch (InterruptedException e) {
                        return;
                    }
                }
            }, "rss-sampler");
            thread.setDaemon(true);
            thread.start();
        }

        long max() {
            return max;
        }

        @Override
        public void close() {
            running = false;
            try {
                thread.join();
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
            long v = rss();
            if (v > max) {
                max = v;
            }
        }
    }
}
