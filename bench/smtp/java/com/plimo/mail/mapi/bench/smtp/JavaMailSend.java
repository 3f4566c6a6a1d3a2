package com.plimo.mail.mapi.bench.smtp;

import static com.plimo.mail.mapi.bench.smtp.BenchMessage.FROM;
import static com.plimo.mail.mapi.bench.smtp.BenchMessage.FROM_NAME;
import static com.plimo.mail.mapi.bench.smtp.BenchMessage.TO_NAME;
import static com.plimo.mail.mapi.bench.smtp.BenchMessage.attachmentName;
import static com.plimo.mail.mapi.bench.smtp.BenchMessage.body;
import static com.plimo.mail.mapi.bench.smtp.BenchMessage.subject;

import java.io.File;
import java.util.Date;
import java.util.Properties;
import javax.mail.Message;
import javax.mail.Session;
import javax.mail.Transport;
import javax.mail.internet.InternetAddress;
import javax.mail.internet.MimeBodyPart;
import javax.mail.internet.MimeMessage;
import javax.mail.internet.MimeMultipart;

/**
 * The same messages as {@link NativesSend}, as JavaMail MimeMessages sent over SMTP:
 *
 * <pre>
 * JavaMailSend send|reuse HOST PORT COUNT FILE TO TAG
 *     send:  Transport.send for each message (a connection each)
 *     reuse: one connected Transport, sendMessage for each
 * </pre>
 *
 * The clock runs from the first message composed until the server has accepted the last
 * (sendMessage returns after the reply to the data). Run without the MAPI jar on the class
 * path, as Java mail code runs today: that jar maps Internet addresses to its own transport.
 */
public final class JavaMailSend {

    private JavaMailSend() {
    }

    public static void main(String[] args) throws Exception {
        if (args.length != 7 || !(args[0].equals("send") || args[0].equals("reuse"))) {
            System.err.println("usage: JavaMailSend send|reuse HOST PORT COUNT FILE TO TAG");
            System.exit(2);
        }
        send(args[0].equals("reuse"), args[1], Integer.parseInt(args[2]), Integer.parseInt(args[3]), args[4],
                args[5], args[6]);
    }

    private static MimeMessage compose(Session session, int i, File file, String to, String tag)
            throws Exception {
        MimeMessage m = new MimeMessage(session);
        m.setFrom(new InternetAddress(FROM, FROM_NAME, "UTF-8"));
        m.setRecipient(Message.RecipientType.TO, new InternetAddress(to, TO_NAME, "UTF-8"));
        m.setSubject(subject(tag, i), "UTF-8");
        m.setSentDate(new Date());
        MimeBodyPart text = new MimeBodyPart();
        text.setText(body(i), "UTF-8");
        MimeBodyPart attachment = new MimeBodyPart();
        attachment.attachFile(file, "application/octet-stream", "base64");
        attachment.setFileName(attachmentName(i));
        MimeMultipart mixed = new MimeMultipart();
        mixed.addBodyPart(text);
        mixed.addBodyPart(attachment);
        m.setContent(mixed);
        return m;
    }

    private static void send(boolean reuse, String host, int port, int count, String path, String to, String tag)
            throws Exception {
        File file = new File(path);
        if (!file.isFile()) {
            throw new IllegalArgumentException("no such file: " + path);
        }
        Properties props = new Properties();
        props.put("mail.smtp.host", host);
        props.put("mail.smtp.port", Integer.toString(port));
        props.put("mail.smtp.localhost", "bench.test");
        // As the natives do by default: STARTTLS when the server offers it, its certificate
        // not checked (opportunistic).
        props.put("mail.smtp.starttls.enable", "true");
        props.put("mail.smtp.ssl.trust", "*");
        props.put("mail.smtp.connectiontimeout", "30000");
        props.put("mail.smtp.timeout", "60000");
        Session session = Session.getInstance(props);
        // Transport.send picks the transport by the address type: it must be JavaMail's SMTP.
        String used = session.getTransport(new InternetAddress(to)).getClass().getName();
        if (!used.equals("com.sun.mail.smtp.SMTPTransport")) {
            throw new IllegalStateException("Internet addresses go to " + used + ", not JavaMail's SMTP transport");
        }
        long t0 = System.nanoTime();
        if (reuse) {
            Transport transport = session.getTransport("smtp");
            transport.connect();
            try {
                for (int i = 0; i < count; i++) {
                    MimeMessage m = compose(session, i, file, to, tag);
                    m.saveChanges();
                    transport.sendMessage(m, m.getAllRecipients());
                }
            } finally {
                transport.close();
            }
        } else {
            for (int i = 0; i < count; i++) {
                Transport.send(compose(session, i, file, to, tag));
            }
        }
        long done = System.nanoTime();
        BenchMessage.result(reuse ? "javamail-reuse" : "javamail-send", count, t0, done, done);
    }
}
