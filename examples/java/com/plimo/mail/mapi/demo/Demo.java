package com.plimo.mail.mapi.demo;

import com.plimo.mail.mapi.MAPINative;
import java.io.PrintStream;
import javax.mail.MessagingException;

/**
 * Logs on to a MAPI profile through the native library and logs off again, saying what
 * it does at every step.
 *
 * <pre>java -Djava.library.path=BUILD/lib -cp ... com.plimo.mail.mapi.demo.Demo [profile [tempDir]]</pre>
 *
 * Exits with 1 and the error text when a MAPI call fails, with 2 when the native library
 * cannot be loaded.
 */
public final class Demo {

    private final PrintStream out;

    private Demo(PrintStream out) {
        this.out = out;
    }

    public static void main(String[] args) {
        String profile = args.length > 0 ? args[0] : "demo";
        String tempDir = args.length > 1 ? args[1] : System.getProperty("java.io.tmpdir");
        try {
            new Demo(System.out).run(profile, tempDir);
        } catch (MessagingException e) {
            System.err.println("demo: " + describe(e));
            System.exit(1);
        } catch (UnsatisfiedLinkError e) {
            System.err.println("demo: cannot load the native library (java.library.path="
                    + System.getProperty("java.library.path") + "): " + e.getMessage());
            System.exit(2);
        }
    }

    private void run(String profile, String tempDir) throws MessagingException {
        boolean started = MAPINative.initMapi();
        out.println("initMapi: " + started);

        try (StoreSession session = StoreSession.open(profile, "", tempDir)) {
            out.printf("getStore: logged on to profile '%s', store handle 0x%x (temp dir %s)%n",
                    session.profile(), session.handle(), tempDir);
            readStore(session);
            out.println("closeStore: logging off");
        }
        out.println("done");
    }

    /** What the demo does while logged on; the place for reading the Inbox. */
    private void readStore(StoreSession session) {
        // nothing yet: the logon itself is the demonstration
    }

    private static String describe(MessagingException e) {
        StringBuilder text = new StringBuilder(String.valueOf(e.getMessage()));
        Exception next = e.getNextException();
        while (next != null) {
            text.append(": ").append(next.getMessage());
            next = next instanceof MessagingException ? ((MessagingException) next).getNextException() : null;
        }
        return text.toString();
    }
}
