package com.plimo.mail.mapi.provider.test;

import static org.junit.jupiter.api.Assertions.assertEquals;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Comparator;
import java.util.List;
import java.util.Properties;
import java.util.stream.Stream;
import javax.mail.Session;

/**
 * The MAPI home of a test run (the directory TOLVANE_MAPI_HOME names, made afresh) and the
 * tolvane-mapi command that fills it: what a mail server would have done before a Java
 * program reads the mail. The program under test sees only javax.mail.
 */
final class MailHome {

    static final Path HOME = Paths.get(System.getProperty("tolvane.test.home")).resolve("home");
    static final Path TEMP = Paths.get(System.getProperty("tolvane.test.home")).resolve("tmp");
    static final Path MAIL = Paths.get(System.getProperty("tolvane.test.mail"));
    private static final String TOOL = System.getProperty("tolvane.test.tool");
    private static boolean made;

    private MailHome() {
    }

    /** Empties the home once per run. */
    static synchronized void fresh() throws IOException {
        if (made) {
            return;
        }
        assertEquals(HOME.toString(), System.getenv("TOLVANE_MAPI_HOME"), "TOLVANE_MAPI_HOME of the test run");
        Path root = HOME.getParent();
        if (Files.exists(root)) {
            try (Stream<Path> all = Files.walk(root)) {
                for (Path p : (Iterable<Path>) all.sorted(Comparator.reverseOrder())::iterator) {
                    Files.delete(p);
                }
            }
        }
        Files.createDirectories(root);
        for (Path dir : new Path[] {HOME, TEMP}) {
            Files.createDirectory(dir, PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------")));
        }
        made = true;
    }

    /** A new profile whose address is NAME@example.org. */
    static void profile(String name) throws IOException, InterruptedException {
        fresh();
        tool("profile", "create", name, "--address", name + "@example.org", "--display-name", "User " + name);
    }

    static void deliver(String profile, Path... files) throws IOException, InterruptedException {
        List<String> args = new ArrayList<>(Arrays.asList("deliver", profile));
        for (Path f : files) {
            args.add(f.toString());
        }
        tool(args.toArray(new String[0]));
    }

    /** Sends what the profile's queue holds (the spooler of a logged-on session does it too). */
    static void flush(String profile) throws IOException, InterruptedException {
        tool("spool", "run", profile, "--flush");
    }

    static String tool(String... args) throws IOException, InterruptedException {
        List<String> command = new ArrayList<>();
        command.add(TOOL);
        command.addAll(Arrays.asList(args));
        Process p = new ProcessBuilder(command).redirectErrorStream(true).start();
        String out = new String(readAll(p.getInputStream()), StandardCharsets.UTF_8);
        int code = p.waitFor();
        assertEquals(0, code, String.join(" ", command) + ": " + out);
        return out;
    }

    /** The sample messages, sorted by name: the order deliver stores them in. */
    static Path[] samples() throws IOException {
        try (Stream<Path> files = Files.list(MAIL)) {
            return files.filter(f -> f.toString().endsWith(".eml")).sorted().toArray(Path[]::new);
        }
    }

    /** The session an unmodified JavaMail program would make: properties only. */
    static Session session(String profile) {
        Properties props = new Properties();
        props.put("mail.store.protocol", "mapi");
        props.put("mail.transport.protocol", "mapi-transport");
        props.put("mail.transport.protocol.rfc822", "mapi-transport");
        props.put("mail.mapi.user", profile);
        props.put("mail.mapi.tempdir", TEMP.toString());
        props.put("mail.mapi.sentfolder", "Sent Items");
        return Session.getInstance(props);
    }

    static byte[] readAll(InputStream in) throws IOException {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        byte[] buffer = new byte[8192];
        int n;
        while ((n = in.read(buffer)) > 0) {
            out.write(buffer, 0, n);
        }
        return out.toByteArray();
    }

    /**
     * The message as the natives read it (StoredMessage.getMAPIMessage()): their content
     * model, whose native objects the provider must open and close as it should.
     */
    static javax.mail.Message natives(javax.mail.Message message) throws Exception {
        return (javax.mail.Message) message.getClass().getMethod("getMAPIMessage").invoke(message);
    }
}
