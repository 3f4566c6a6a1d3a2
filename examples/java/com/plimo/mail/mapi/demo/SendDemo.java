package com.plimo.mail.mapi.demo;

import com.plimo.mail.mapi.MAPIBodyPart;
import com.plimo.mail.mapi.MAPIMessage;
import com.plimo.mail.mapi.MAPIMultipart;
import com.plimo.mail.mapi.MAPINative;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import javax.mail.MessagingException;

/**
 * The sending demo: the profile FROM writes to the profile TO of the same MAPI home
 * through the composition natives (subject, sender, To and Cc, reply-to, priority, an
 * X- header, a plain and an HTML body, a file attachment and an inline image), sends it,
 * and reads it back from TO's Inbox once the spooler of this process has delivered it.
 *
 * <pre>
 * SendDemo FROM TO_ADDRESS TO_PROFILE TEMP_DIR
 * </pre>
 */
public final class SendDemo {

    private SendDemo() {
    }

    public static void main(String[] args) throws Exception {
        if (args.length < 4) {
            System.err.println("usage: SendDemo FROM TO_ADDRESS TO_PROFILE TEMP_DIR");
            System.exit(2);
        }
        String from = args[0];
        String toAddress = args[1];
        String toProfile = args[2];
        String tempDir = args[3];
        try {
            run(from, toAddress, toProfile, tempDir);
        } catch (MessagingException e) {
            System.out.flush();
            System.err.println("send demo: " + e.getMessage());
            System.exit(1);
        }
    }

    private static int inboxCount(String profile, String tempDir) throws MessagingException {
        long store = MAPINative.getStore(profile, "", "", tempDir);
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

    private static void run(String from, String toAddress, String toProfile, String tempDir)
            throws MessagingException, IOException, InterruptedException {
        MAPINative.initMapi();
        int before = inboxCount(toProfile, tempDir);
        Path dir = Paths.get(tempDir);
        Path report = dir.resolve("figures.csv");
        Files.write(report, "quarter,revenue\nQ1,120\nQ2,135\n".getBytes(StandardCharsets.UTF_8));
        Path logo = dir.resolve("logo.png");
        byte[] png = java.util.Base64.getDecoder().decode(
                "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNk+M9QDwADhgGAWjR9awAAAABJRU5ErkJggg==");
        Files.write(logo, png);

        long transport = MAPINative.getTransport(from, "", tempDir, "Sent Items");
        System.out.printf("getTransport: logged on to profile '%s' to send (sent copies in 'Sent Items')%n", from);
        try {
            long message = MAPINative.createMessage(transport);
            try {
                MAPINative.setMessageSubject(message, "Quarterly figures – Grüße aus dem Demo");
                MAPINative.addMessageFrom(message, "Demo User", "demo@example.org");
                MAPINative.addMessageToRecipient(message, "Colleague", toAddress);
                MAPINative.addMessageCCRecipient(message, "Demo User", "demo@example.org");
                MAPINative.setMessageReplyTo(message, "Demo Replies", "replies@example.org");
                MAPINative.setMessagePriority(message, 1);
                MAPINative.setMessageXHeader(message, "X-Demo", "sent by the tolvane demo");
                MAPINative.setMessagePlainTextBody(message, "Hello,\n\nthe figures are attached.\n");
                MAPINative.setMessageHTMLBody(message,
                        "<html><body><p>Hello,</p><p>the figures are attached.</p>"
                        + "<img src=\"cid:logo@demo\" alt=\"logo\"></body></html>");
                MAPINative.addMessageAttachment(message, "figures.csv", "text/csv", report.toString());
                MAPINative.addMessageInlineAttachment(message, "logo.png", "image/png", logo.toString(), "logo@demo");
                MAPINative.sendMessage(message);
                System.out.printf("sendMessage: queued for %s (and a copy to the sender as Cc)%n", toAddress);
            } finally {
                MAPINative.destroyMessage(message);
            }
            // The spooler of this session delivers in the background.
            long deadline = System.currentTimeMillis() + 30_000;
            int now = before;
            while (now <= before && System.currentTimeMillis() < deadline) {
                Thread.sleep(100);
                now = inboxCount(toProfile, tempDir);
            }
            if (now <= before) {
                throw new MessagingException("the message did not reach " + toProfile + "'s Inbox within 30 s");
            }
        } finally {
            MAPINative.closeTransport(transport);
        }

        try (StoreSession session = StoreSession.open(toProfile, "", tempDir);
                InboxFolder inbox = InboxFolder.locate(session)) {
            inbox.open(javax.mail.Folder.READ_ONLY);
            javax.mail.Message[] all = inbox.getMessages();
            MAPIMessage received = (MAPIMessage) all[all.length - 1];
            long h = received.getMessagePointer();
            System.out.printf("Arrived in %s's Inbox:%n", toProfile);
            System.out.println("  From:     " + String.join(", ", MAPINative.getMessageFrom(h)));
            System.out.println("  To:       " + String.join(", ", MAPINative.getMessageTo(h)));
            System.out.println("  Cc:       " + String.join(", ", MAPINative.getMessageCC(h)));
            System.out.println("  Reply-To: " + String.join(", ", MAPINative.getMessageReplyTo(h)));
            System.out.println("  Subject:  " + MAPINative.getMessageSubject(h));
            System.out.println("  Priority: " + MAPINative.getMessagePriority(h));
            MAPIMultipart multipart = MAPINative.getMessageContent(h, received);
            int count = multipart == null ? 0 : multipart.getCount();
            for (int i = 0; i < count; i++) {
                MAPIBodyPart part = (MAPIBodyPart) multipart.getBodyPart(i);
                String name = part.getFileName();
                System.out.printf("  part %d:   %s%s%n", i + 1, part.getContentType(),
                        name == null ? "" : " \"" + name + "\" (" + part.getDisposition() + ")");
            }
        }
    }
}
