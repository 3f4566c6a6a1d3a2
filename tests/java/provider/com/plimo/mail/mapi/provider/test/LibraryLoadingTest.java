package com.plimo.mail.mapi.provider.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.File;
import java.nio.charset.StandardCharsets;
import java.util.Arrays;
import java.util.List;
import java.util.Properties;
import javax.mail.MessagingException;
import javax.mail.Session;
import javax.mail.Store;
import org.junit.jupiter.api.Test;

/**
 * A program whose VM cannot find the native library gets a MessagingException that says
 * where it was looked for, at connect and again at every later connect, and one whose
 * session names the library's file finds it there.
 */
class LibraryLoadingTest {

    /** Run in a VM of its own: connects a store with the session's properties and prints the outcome. */
    public static void main(String[] args) throws Exception {
        Properties props = new Properties();
        props.put("mail.store.protocol", "mapi");
        if (args.length > 1) {
            props.put("mail.mapi.library", args[1]);
        }
        for (int attempt = 0; attempt < 2; attempt++) {
            Store store = Session.getInstance(props).getStore();
            try {
                store.connect(null, args[0], "");
                System.out.println("connected");
                store.close();
            } catch (MessagingException e) {
                System.out.println(e.getClass().getName() + ": " + e.getMessage());
            }
        }
    }

    private static String run(String libraryPath, String... args) throws Exception {
        String java = System.getProperty("java.home") + File.separator + "bin" + File.separator + "java";
        List<String> command = new java.util.ArrayList<>(Arrays.asList(java, "-XX:-UsePerfData",
                "-Djava.library.path=" + libraryPath, "-cp", System.getProperty("tolvane.test.classpath"),
                LibraryLoadingTest.class.getName()));
        command.addAll(Arrays.asList(args));
        ProcessBuilder builder = new ProcessBuilder(command).redirectErrorStream(true);
        // The output is compared line by line: no "Picked up JAVA_TOOL_OPTIONS" line in it.
        builder.environment().remove("JAVA_TOOL_OPTIONS");
        Process p = builder.start();
        String out = new String(MailHome.readAll(p.getInputStream()), StandardCharsets.UTF_8);
        assertEquals(0, p.waitFor(), out);
        return out;
    }

    @Test
    void aLibraryNotOnTheLibraryPathIsAMessagingExceptionSayingWhere() throws Exception {
        String out = run("/nonexistent-lib-dir", "reader");
        String[] lines = out.split("\n");
        assertEquals(2, lines.length, out);
        assertTrue(lines[0].startsWith("javax.mail.MessagingException: The MAPI library could not be loaded as "
                + "libtolvanemapi81_build001.so on java.library.path (/nonexistent-lib-dir); set mail.mapi.library"),
                out);
        assertEquals(lines[0], lines[1]);
    }

    @Test
    void theSessionMayNameTheLibrarysFile() throws Exception {
        MailHome.profile("loader");
        String dir = System.getProperty("java.library.path");
        String file = new File(dir, System.mapLibraryName("tolvanemapi81_build001")).getPath();
        assertEquals("connected\nconnected\n", run("/nonexistent-lib-dir", "loader", file));
        String missing = run("/nonexistent-lib-dir", "loader", "/nonexistent-lib-dir/libmissing.so");
        assertTrue(missing.startsWith("javax.mail.MessagingException: The MAPI library could not be loaded from "
                + "/nonexistent-lib-dir/libmissing.so (tolvane.mapi.library)"), missing);
    }
}
