package com.plimo.mail.mapi.demo;

import com.plimo.mail.mapi.MAPIBodyPart;
import com.plimo.mail.mapi.MAPIMessage;
import com.plimo.mail.mapi.MAPIMultipart;
import com.plimo.mail.mapi.MAPINative;
import java.io.IOException;
import java.io.PrintStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.text.SimpleDateFormat;
import java.util.Date;
import java.util.HashSet;
import java.util.Set;
import java.util.TimeZone;
import javax.mail.Address;
import javax.mail.Folder;
import javax.mail.Message;
import javax.mail.MessagingException;
import javax.mail.internet.InternetAddress;

/**
 * Reads a MAPI profile's Inbox through the native library and shows what it finds: for
 * every message its sender, recipients, subject, dates, priority and parts. It saves each
 * attachment under {@code OUTPUT/message-N/} and each whole message as
 * {@code OUTPUT/message-N.msg}.
 *
 * <pre>java -Djava.library.path=BUILD/lib -cp ... com.plimo.mail.mapi.demo.Demo [profile [tempDir [outputDir]]]</pre>
 *
 * Exits with 1 when the logon, the Inbox or any read fails (after showing everything else
 * it could read), with 2 when the native library cannot be loaded.
 */
public final class Demo {

    /** Longest text shown as a part's first line. */
    private static final int FIRST_LINE_LENGTH = 72;

    /** Longest file name made from an attachment's name. */
    private static final int FILE_NAME_LENGTH = 120;

    private final PrintStream out;
    private final Path outputDir;
    private int problems;
    private int savedAttachments;
    private int savedMessages;

    private Demo(PrintStream out, Path outputDir) {
        this.out = out;
        this.outputDir = outputDir;
    }

    public static void main(String[] args) {
        String profile = args.length > 0 ? args[0] : "demo";
        String tempDir = args.length > 1 ? args[1] : System.getProperty("java.io.tmpdir");
        Path outputDir = Paths.get(args.length > 2 ? args[2] : "demo-output").toAbsolutePath();
        Demo demo = new Demo(System.out, outputDir);
        try {
            demo.run(profile, tempDir);
        } catch (MessagingException e) {
            System.out.flush();
            System.err.println("demo: " + describe(e));
            System.exit(1);
        } catch (IOException e) {
            System.out.flush();
            System.err.println("demo: " + e);
            System.exit(1);
        } catch (UnsatisfiedLinkError e) {
            System.out.flush();
            System.err.println("demo: cannot load the native library (java.library.path="
                    + System.getProperty("java.library.path") + "): " + e.getMessage());
            System.exit(2);
        }
        if (demo.problems > 0) {
            System.out.flush();
            System.err.printf("demo: %d read(s) failed; see the lines marked FAILED above%n", demo.problems);
            System.exit(1);
        }
    }

    private void run(String profile, String tempDir) throws MessagingException, IOException {
        Files.createDirectories(outputDir);
        boolean started = MAPINative.initMapi();
        out.println("initMapi: " + started);

        try (StoreSession session = StoreSession.open(profile, "", tempDir)) {
            out.printf("getStore: logged on to profile '%s' (temp dir %s)%n", session.profile(), tempDir);
            try (InboxFolder inbox = InboxFolder.locate(session)) {
                inbox.open(Folder.READ_ONLY);
                MAPIMessage[] messages = inbox.getMessages();
                out.printf("Inbox: %d message(s)%n", messages.length);
                for (MAPIMessage message : messages) {
                    showMessage(message);
                }
                out.println();
                out.println("closeFolder: closing the Inbox without expunging");
            }
            out.println("closeStore: logging off");
        }
        out.printf("Output: %s (%d attachment(s), %d message file(s))%n", outputDir, savedAttachments,
                savedMessages);
    }

    // ---- One message ---------------------------------------------------------------

    private void showMessage(MAPIMessage message) {
        int number = message.getMessageNumber();
        out.println();
        out.printf("Message %d%n", number);
        field("From", () -> addresses(message.getFrom()));
        field("To", () -> addresses(message.getRecipients(Message.RecipientType.TO)));
        field("Cc", () -> addresses(message.getRecipients(Message.RecipientType.CC)));
        field("Subject", () -> {
            String subject = message.getSubject();
            return subject == null ? "(no subject)" : subject;
        });
        field("Sent", () -> date(message.getSentDate()));
        field("Received", () -> date(message.getReceivedDate()));
        field("Priority", () -> priority(message.getPriority()));
        showParts(message, outputDir.resolve("message-" + number));
        saveMessageFile(message, outputDir.resolve("message-" + number + ".msg"));
    }

    private void showParts(MAPIMessage message, Path partDir) {
        MAPIMultipart multipart;
        int count;
        try {
            multipart = message.getMultipart();
            if (multipart == null) {
                out.println("  Parts:    none (no body text, no attachments)");
                return;
            }
            count = multipart.getCount();
        } catch (MessagingException e) {
            failed("  Parts:    ", e);
            return;
        }
        out.printf("  Parts:    %d%n", count);
        Set<String> usedNames = new HashSet<>();
        for (int i = 0; i < count; i++) {
            try {
                showPart(i + 1, (MAPIBodyPart) multipart.getBodyPart(i), partDir, usedNames);
            } catch (MessagingException | IOException e) {
                failed("    Part " + (i + 1) + ": ", e);
            }
        }
    }

    private void showPart(int number, MAPIBodyPart part, Path partDir, Set<String> usedNames)
            throws MessagingException, IOException {
        String disposition = part.getDisposition();
        StringBuilder line = new StringBuilder();
        line.append("    Part ").append(number).append(": ").append(part.getContentType());
        line.append(", disposition ").append(disposition == null ? "none (body)" : disposition);
        String fileName = part.getFileName();
        if (fileName != null) {
            line.append(", file \"").append(fileName).append('"');
        }
        if (part.getSize() >= 0) {
            line.append(", ").append(part.getSize()).append(" bytes");
        }
        if (part.getContentID() != null) {
            line.append(", content id <").append(part.getContentID()).append('>');
        }
        out.println(line);

        if (!part.isAttachment()) {
            if (part.isMimeType("text/*")) {
                String text = String.valueOf(part.getContent());
                if (part.isMimeType("text/html")) {
                    text = text.replaceAll("(?s)<[^>]*>", "");
                }
                out.println("            first line: " + firstLine(text));
            }
            return;
        }
        // The part writes its data once (writeBodypartToFile) into a file the store deletes
        // with the message's content; writeTo copies from there into a file we keep.
        Files.createDirectories(partDir);
        Path target = partDir.resolve(uniqueName(safeName(fileName, number), usedNames));
        part.writeTo(target.toString());
        savedAttachments++;
        out.printf("            saved to %s (%d bytes)%n", target, Files.size(target));
    }

    /**
     * The library exports the message into its temp dir and deletes that file when the
     * message is discarded (at the latest when the folder closes), so keep a copy.
     */
    private void saveMessageFile(MAPIMessage message, Path target) {
        try {
            Path exported = Paths.get(message.getMessageFile());
            Files.copy(exported, target, StandardCopyOption.REPLACE_EXISTING);
            savedMessages++;
            out.printf("  Saved:    %s (%d bytes)%n", target, Files.size(target));
        } catch (MessagingException | IOException e) {
            failed("  Saved:    ", e);
        }
    }

    // ---- Showing values --------------------------------------------------------------

    /** A read that may fail; a failure is shown in place of the value and counted. */
    private interface Read {
        String get() throws MessagingException;
    }

    private void field(String label, Read read) {
        String prefix = String.format("  %-10s", label + ":");
        try {
            out.println(prefix + read.get());
        } catch (MessagingException e) {
            failed(prefix, e);
        }
    }

    private void failed(String prefix, Exception e) {
        problems++;
        String text = e instanceof MessagingException ? describe((MessagingException) e) : String.valueOf(e);
        out.println(prefix + "FAILED: " + text);
    }

    /**
     * Addresses on one line. The store names a recipient without a display name after its
     * address; such a name adds nothing, so show the bare address.
     */
    private static String addresses(Address[] addresses) {
        if (addresses == null || addresses.length == 0) {
            return "(none)";
        }
        StringBuilder text = new StringBuilder();
        for (Address address : addresses) {
            if (text.length() > 0) {
                text.append(", ");
            }
            if (address instanceof InternetAddress) {
                InternetAddress internet = (InternetAddress) address;
                String personal = internet.getPersonal();
                if (personal == null || personal.isEmpty() || personal.equalsIgnoreCase(internet.getAddress())) {
                    text.append(internet.getAddress());
                    continue;
                }
                text.append(internet.toUnicodeString());
            } else {
                text.append(address);
            }
        }
        return text.toString();
    }

    private static String date(Date date) {
        if (date == null) {
            return "(none)";
        }
        SimpleDateFormat format = new SimpleDateFormat("yyyy-MM-dd HH:mm:ss 'UTC'");
        format.setTimeZone(TimeZone.getTimeZone("UTC"));
        return format.format(date);
    }

    private static String priority(String value) {
        if ("1".equals(value)) {
            return "1 (high)";
        }
        if ("5".equals(value)) {
            return "5 (low)";
        }
        if ("3".equals(value)) {
            return "3 (normal)";
        }
        return String.valueOf(value);
    }

    private static String firstLine(String text) {
        for (String line : text.split("\r\n|\r|\n")) {
            String trimmed = line.trim();
            if (!trimmed.isEmpty()) {
                return trimmed.length() > FIRST_LINE_LENGTH ? trimmed.substring(0, FIRST_LINE_LENGTH) + "..." : trimmed;
            }
        }
        return "(empty)";
    }

    /** The attachment's own name made safe as one path component; "part-N" when there is none. */
    private static String safeName(String fileName, int number) {
        String name = fileName == null ? "" : fileName.replaceAll("[/\\\\\\p{Cntrl}]", "_").trim();
        if (name.length() > FILE_NAME_LENGTH) {
            name = name.substring(0, FILE_NAME_LENGTH);
        }
        if (name.isEmpty() || name.equals(".") || name.equals("..")) {
            name = "part-" + number;
        }
        return name;
    }

    /** Two attachments of one message with the same name: the second becomes "name (2).ext". */
    private static String uniqueName(String name, Set<String> used) {
        String candidate = name;
        int dot = name.lastIndexOf('.');
        String stem = dot > 0 ? name.substring(0, dot) : name;
        String extension = dot > 0 ? name.substring(dot) : "";
        for (int n = 2; !used.add(candidate); n++) {
            candidate = stem + " (" + n + ")" + extension;
        }
        return candidate;
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
